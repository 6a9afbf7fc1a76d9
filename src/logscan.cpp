#include "logscan.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

namespace {

// The C library's white space in the default locale.
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// `str` without white space at its end, but never without its first character.
std::string_view rstrip(std::string_view str)
{
    size_t n = str.size();
    while (n > 1 && is_space(str[n - 1]))
        --n;
    return str.substr(0, n);
}

bool starts_nocase(std::string_view text, const char* prefix)
{
    const size_t n = std::strlen(prefix);
    return text.size() >= n && strncasecmp(text.data(), prefix, n) == 0;
}

// XMODEM carries no name, so sz's header says it its own way, with the name
// as given: "Sending NAME, 12 blocks: Give your local XMODEM receive command
// now.". A name may hold ", 3 blocks: " itself; the count that ends the
// header is the last one. Empty when `text` is no such header.
std::string_view xmodem_send_name(std::string_view text)
{
    constexpr std::string_view blocks = " blocks: ";
    if (text.size() < 8 || text[7] != ' ')
        return {};
    const size_t at = text.rfind(blocks);
    if (at == std::string_view::npos)
        return {};
    size_t digits = at;
    while (digits > 8 && text[digits - 1] >= '0' && text[digits - 1] <= '9')
        --digits;
    if (digits == at || digits < 10 || text.substr(digits - 2, 2) != ", ")
        return {};
    const std::string_view name = text.substr(8, digits - 2 - 8);
    return name.substr(name.rfind('/') + 1);  // npos + 1 is 0: the whole name
}

// The name in a header's whole line: after the prefix, without the white
// space that ends the line.
std::string name_of(std::string_view line, size_t prefix, bool send)
{
    const std::string_view text = rstrip(line);
    if (const std::string_view name = send ? xmodem_send_name(text) : std::string_view(); !name.empty())
        return std::string(name);
    return std::string(text.size() > prefix ? text.substr(prefix) : std::string_view());
}

}  // namespace

void LogScanner::feed(std::string_view bytes)
{
    size_t i = 0;
    while (i < bytes.size()) {
        const size_t window = std::min(bytes.size() - i, max_chunk - chunk_.size());
        // The first line end in the window: a CR, or an LF before it.
        const char* at = bytes.data() + i;
        const auto* cr = static_cast<const char*>(std::memchr(at, '\r', window));
        const auto* lf = static_cast<const char*>(std::memchr(at, '\n', cr ? static_cast<size_t>(cr - at) : window));
        const char* end = lf ? lf : cr;
        const size_t stop = end ? static_cast<size_t>(end - at) : window;
        chunk_.append(bytes.substr(i, stop));
        i += stop;
        if (stop < window) {
            examine(bytes[i++]);  // the line end is no part of the chunk
            chunk_.clear();
        } else if (chunk_.size() == max_chunk) {
            examine(0);
            chunk_.clear();
        }
    }
}

void LogScanner::examine(char ended_by)
{
    const std::string_view text(chunk_.c_str());  // up to a NUL, as a C string sees it
    const bool has_nul = text.size() < chunk_.size();
    if (!continuing_) {
        // A name begins after the word, a colon and a blank, which are not
        // checked; an XMODEM receive names the file it was given.
        size_t prefix = 0;
        if (starts_nocase(text, "Sending")) {
            action_ = SEND;
            prefix = 9;
        } else if (starts_nocase(text, "Receiving")) {
            action_ = RECEIVE;
            prefix = 11;
        } else if (text.starts_with("rz: ready to receive ")) {
            action_ = RECEIVE;
            prefix = 21;
        }
        if (prefix == 0) {
            tell_line(ended_by);
            count_bytes(text);
            return;
        }
        if (listener_ && !line_.empty()) {  // a long line went on with a header
            listener_->line(line_);
            line_.clear();
        }
        // A header is no byte count, whatever its name holds.
        done_ = 1;
        prefix_ = prefix;
        header_.clear();
        name_ended_ = false;
    }
    // A header's line runs to its LF: a CR in it is part of the name too, so
    // that no rest of a name can pose as a line of its own.
    if (!name_ended_) {
        header_.append(text.substr(0, max_header - header_.size()));
        if (ended_by == '\r' && !has_nul && header_.size() < max_header)
            header_ += '\r';
    }
    name_ended_ = name_ended_ || has_nul;
    continuing_ = ended_by != '\n';
    if (continuing_)
        return;
    file_ = name_of(header_, prefix_, action_ == SEND);
    if (listener_)
        listener_->header(rstrip(header_), file_);
}

void LogScanner::tell_line(char ended_by)
{
    if (!listener_)
        return;
    if (ended_by != 0 && line_.empty()) {  // a line in one chunk, as progress is
        listener_->line(chunk_);
        return;
    }
    line_.append(chunk_, 0, max_header - std::min(max_header, line_.size()));
    if (ended_by != 0) {
        listener_->line(line_);
        line_.clear();
    }
}

void LogScanner::end()
{
    if (!continuing_ && !(chunk_.empty() && line_.empty()))
        tell_line('\n');
}

void LogScanner::count_bytes(std::string_view text)
{
    // Progress chunks carry "ETA"; only the final count of a file lacks it.
    const std::string_view trimmed = rstrip(text);
    if (trimmed.find("Bytes") != std::string_view::npos && trimmed.find("ETA") == std::string_view::npos) {
        ++done_;
        // "Bytes received" counts but matches no further than "Bytes ", so
        // a receive keeps the last rate read.
        const std::string line(trimmed);  // sscanf reads a C string
        std::sscanf(line.c_str(), "Bytes Sent: %d BPS:%d", &bytes_xfer_, &bps_);  // NOLINT(cert-err34-c): a count that does not parse keeps the last one, as it always has
    }
    if (done_ != 2)
        return;
    done_ = 0;
    if (static_cast<uint32_t>(bps_) > max_cps)
        bps_ = static_cast<int>(max_cps);
    emit_(TransferLogRecord{action_ == SEND ? 'S' : 'R', static_cast<uint32_t>(bps_), file_});
}
