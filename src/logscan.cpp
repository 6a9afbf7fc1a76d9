#include "logscan.h"

#include <span>

#include "bytescan.h"
#include "chunk.h"

namespace {

using bytescan::is_space;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `text` begins with `prefix`, without regard to case (ASCII only, as
// in the C locale).
bool starts_nocase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (lower(text[i]) != lower(prefix[i]))
            return false;
    return true;
}

// One %d at in[i..]. On success stores the value and moves i past the digits;
// on failure leaves `out` alone.
bool scan_int(std::string_view in, size_t& i, uint32_t& out)
{
    while (i < in.size() && is_space(in[i]))
        ++i;
    bool neg = false;
    if (i < in.size() && (in[i] == '+' || in[i] == '-')) {
        neg = in[i] == '-';
        ++i;
    }
    if (i >= in.size() || !is_digit(in[i]))
        return false;
    // Magnitude of a long: LONG_MAX, or one more for a negative number.
    const uint64_t limit = neg ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    uint64_t mag = 0;
    for (; i < in.size() && is_digit(in[i]); ++i) {
        const unsigned d = static_cast<unsigned>(in[i] - '0');
        mag = mag > (limit - d) / 10 ? limit : mag * 10 + d;
    }
    const uint64_t as_long = neg ? 0 - mag : mag;  // two's complement bits of the long
    out = static_cast<uint32_t>(as_long);
    return true;
}

// A scanf of its own for the patterns used here: blanks, literal bytes and %d.
int scan_pattern(std::string_view in, const char* pattern, std::span<uint32_t* const> fields)
{
    size_t i = 0;
    size_t assigned = 0;
    for (const char* f = pattern; *f; ++f) {
        if (is_space(*f)) {
            while (i < in.size() && is_space(in[i]))
                ++i;
        } else if (f[0] == '%' && f[1] == 'd') {
            if (assigned == fields.size() || !scan_int(in, i, *fields[assigned]))
                break;
            ++assigned;
            ++f;
        } else {
            if (i >= in.size() || in[i] != *f)
                break;
            ++i;
        }
    }
    return static_cast<int>(assigned);
}

// The name in a header's whole line: after the prefix, without the white
// space that ends the line (the line's first character always stays).
std::string_view name_of(std::string_view line, size_t prefix)
{
    const std::string_view text = rstrip(line);
    return text.size() > prefix ? text.substr(prefix) : std::string_view();
}

}  // namespace

int parse_byte_count(std::string_view text, uint32_t& bytes, uint32_t& bps)
{
    uint32_t* const fields[] = {&bytes, &bps};
    return scan_pattern(text, "Bytes Sent: %d BPS:%d", fields);
}

std::optional<TransferLogRecord> LogScanner::examine(ChunkCut cut)
{
    const std::string_view text = chunk_text(cut.text);
    const bool line_goes_on = cut.consumed == cut.text.size();
    if (continuing_) {
        if (!name_ended_ && header_.size() < max_header)
            header_.append(text.substr(0, max_header - header_.size()));
        name_ended_ = name_ended_ || text.size() < cut.text.size();
        continuing_ = line_goes_on;
        if (!continuing_)
            file_ = name_of(header_, prefix_);
        return std::nullopt;
    }
    // A name begins after the word, a colon and a blank, which are not checked.
    size_t prefix = 0;
    if (starts_nocase(text, "Sending")) {
        action_ = SEND;
        prefix = 9;
    } else if (starts_nocase(text, "Receiving")) {
        action_ = RECEIVE;
        prefix = 11;
    }
    if (prefix != 0) {
        done_ = 1;
        name_ended_ = text.size() < cut.text.size();
        continuing_ = line_goes_on;
        if (continuing_) {
            header_.assign(text);
            prefix_ = prefix;
        } else {
            file_ = name_of(text, prefix);
        }
        return std::nullopt;
    }
    // Progress chunks carry "ETA"; only the final count of a file lacks it.
    const std::string_view trimmed = rstrip(text);
    if (trimmed.find("Bytes") != trimmed.npos && trimmed.find("ETA") == trimmed.npos) {
        ++done_;
        parse_byte_count(trimmed, bytes_xfer_, bps_);
    }
    if (done_ != 2)
        return std::nullopt;
    done_ = 0;
    if (bps_ > max_cps)
        bps_ = max_cps;
    return TransferLogRecord{action_ == SEND ? 'S' : 'R', bps_, file_};
}
