#include "eventscan.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t max_line = 1024;
// Progress lines are read at most this often (seconds); the events say
// fewer still.
constexpr double progress_every = 0.05;

double coarse_now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

bool has(std::string_view text, const char* words) { return text.find(words) != std::string_view::npos; }

std::string last_component(std::string_view path)
{
    const size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.back() == ' ' || (s.back() >= '\t' && s.back() <= '\r')))
        s.remove_suffix(1);
    return s;
}

// "N/M BPS:R" or "N BPS:R" after `words`.
bool counts(std::string_view text, const char* words, uint64_t& n, std::optional<uint64_t>& of, uint64_t& bps)
{
    const size_t at = text.find(words);
    if (at == std::string_view::npos)
        return false;
    const std::string rest(text.substr(at + std::strlen(words)));
    unsigned long long a = 0, b = 0, r = 0;
    if (std::sscanf(rest.c_str(), " %llu/ %llu BPS:%llu", &a, &b, &r) == 3) {  // NOLINT(cert-err34-c): a line that does not parse is no count
        of = b;
    } else if (std::sscanf(rest.c_str(), " %llu BPS:%llu", &a, &r) != 2) {  // NOLINT(cert-err34-c)
        return false;
    }
    n = a;
    bps = r;
    return true;
}

// Why a file failed, when a line of the stream says so.
std::optional<FailReason> failure(std::string_view text)
{
    if ((text.starts_with("rz: ") && has(text, " exists")) || has(text, "Security Violation"))
        return FailReason::refused;
    if (has(text, "Got ZCAN") || has(text, "Canceled") || (text.starts_with("rz: ") && has(text, " removed.")))
        return FailReason::cancelled;
    if (has(text, "caught signal 13") || has(text, "Broken pipe"))
        return FailReason::line;
    if (has(text, "TIMEOUT") || has(text, "Timeout"))
        return FailReason::timeout;
    return std::nullopt;
}

}  // namespace

const char* reason_word(FailReason why)
{
    static const char* const words[] = {"skipped", "refused", "cancelled", "line", "timeout", "missing", "error"};
    return words[static_cast<int>(why)];
}

EventScanner::EventScanner(Sink sink, bool sending, const std::vector<std::string>& names, std::string dir)
    : sink_(std::move(sink)), sending_(sending), dir_(std::move(dir))
{
    for (const std::string& name : names) {
        const std::string n = last_component(name);
        if (files_.emplace(n, File{{n, std::nullopt, 0, 0}}).second)
            order_.push_back(n);
    }
}

void EventScanner::feed(std::string_view bytes)
{
    while (!bytes.empty()) {
        const size_t end = std::min(bytes.find_first_of("\r\n"), bytes.size());
        pending_.append(bytes.substr(0, std::min(end, max_line - std::min(max_line, pending_.size()))));
        if (end == bytes.size())
            return;
        line(pending_);
        pending_.clear();
        bytes.remove_prefix(end + 1);
    }
}

EventScanner::File* EventScanner::announce(const std::string& name, std::optional<uint64_t> size)
{
    auto [it, fresh] = files_.try_emplace(name, File{{name, size, 0, 0}});
    if (fresh)
        order_.push_back(name);
    it->second.facts.size = size ? size : it->second.facts.size;
    it->second.over = false;
    current_ = &it->second;
    if (sink_.file)
        sink_.file(current_->facts);
    return current_;
}

void EventScanner::fail(File& f, FailReason why, const std::string& message)
{
    if (f.over)
        return;
    f.over = true;
    if (current_ == &f)
        current_ = nullptr;
    // What rz leaves on disk is known once it has ended: it removes some
    // partial copies on its way out.
    if (!sending_ && why != FailReason::refused) {
        held_.push_back({f.facts, why, message});
        return;
    }
    if (sink_.failed)
        sink_.failed(f.facts, why, message, "");
}

void EventScanner::line(std::string_view raw)
{
    const std::string_view text = trimmed(raw);
    if (text.empty())
        return;
    // Most lines are progress ("Bytes Sent: N/M BPS:R ETA 00:00"), thousands
    // a second: kept as they come, read only now and then.
    if (current_ && text.starts_with("Bytes ") && text.size() > 9 && text.substr(text.size() - 9, 4) == "ETA ") {
        progress_line_.assign(text);
        const double now = coarse_now();
        if (now - last_progress_ >= progress_every) {
            last_progress_ = now;
            take_progress(true);
        }
        return;
    }
    last_words_.assign(text);
    // Headers: a file begins.
    // sz names a file by its last component, rz by what the sender said.
    if (text.starts_with("Sending: ") || text.starts_with("Receiving: ")) {
        const std::string_view said = text.substr(text.find(' ') + 1);
        const std::string name = sending_ ? last_component(said) : std::string(said);
        if (!name.empty())
            announce(name, std::nullopt);
        return;
    }
    if (sending_ && text.starts_with("Sending ") && has(text, " blocks: ")) {
        // XMODEM: "Sending NAME, N blocks: ..."; N is no exact size.
        const size_t comma = text.rfind(", ", text.rfind(" blocks: "));
        if (comma != std::string_view::npos && comma > 8)
            announce(last_component(text.substr(8, comma - 8)), std::nullopt);
        return;
    }
    if (text.starts_with("rz: ready to receive ")) {
        announce(last_component(text.substr(21)), std::nullopt);
        return;
    }
    // A file refused by name, without a header first (a duplicate that rz
    // skips, when the sender lets it go on to the next).
    if (const size_t at = text.find("file exists, skipped: "); at != std::string_view::npos) {
        const std::string name = last_component(text.substr(at + 22));
        auto [it, fresh] = files_.try_emplace(name, File{{name, std::nullopt, 0, 0}});
        if (fresh)
            order_.push_back(name);
        fail(it->second, FailReason::refused, std::string(text.substr(at)));
        return;
    }
    // Failures, in the command's words; they may follow a progress line's
    // figures on the same line.
    if (const std::optional<FailReason> why = failure(text)) {
        take_progress(false);
        uint64_t n = 0, bps = 0;
        std::optional<uint64_t> of;
        if (current_ && (counts(text, "Bytes Sent:", n, of, bps) || counts(text, "Bytes received:", n, of, bps)))
            current_->facts.bytes = n;
        // The command's own words, without figures before them.
        size_t own = std::string_view::npos;
        for (const char* start : {"sz: ", "rz: ", "Retry "})
            own = std::min(own, text.find(start));
        const std::string message(own == std::string_view::npos ? text : text.substr(own));
        if (!batch_reason_) {
            batch_reason_ = why;
            batch_message_ = message;
        }
        if (current_)
            fail(*current_, *why, message);
        return;
    }
    // Figures of the file under way: its final count.
    take_progress(false);
    uint64_t n = 0, bps = 0;
    std::optional<uint64_t> of;
    if (current_ && (counts(text, "Bytes Sent:", n, of, bps) || counts(text, "Bytes received:", n, of, bps))) {
        FileFacts& f = current_->facts;
        f.bytes = n;
        f.bps = bps;
        if (of)
            f.size = of;
        if (has(text, "ETA") && sink_.progress)
            sink_.progress(f);
        return;
    }
    unsigned long long sectors = 0;
    if (current_ && std::sscanf(last_words_.c_str(), "%*cmodem sectors/kbytes sent: %llu/", &sectors) == 1) {  // NOLINT(cert-err34-c)
        current_->facts.bytes = sectors * 128;
        if (sink_.progress)
            sink_.progress(current_->facts);
        return;
    }
    if (current_ && text.starts_with("Blocks received: ")) {
        // The count wraps at 256; the copy on disk says how far it got.
        struct stat st {};
        if (stat((dir_ + "/" + current_->facts.name).c_str(), &st) == 0) {
            current_->facts.bytes = static_cast<uint64_t>(st.st_size);
            if (sink_.progress)
                sink_.progress(current_->facts);
        }
        return;
    }
    // Files named in the command's words.
    const std::string words(text);
    if (text.starts_with("sz: cannot open ")) {
        const size_t colon = text.find(": ", 16);
        const std::string name = last_component(text.substr(16, colon == std::string_view::npos ? colon : colon - 16));
        auto [it, fresh] = files_.try_emplace(name, File{{name, std::nullopt, 0, 0}});
        if (fresh)
            order_.push_back(name);
        fail(it->second, FailReason::missing, words);
        return;
    }
    if (text.starts_with("rz: cannot open ") && current_) {
        fail(*current_, FailReason::error, words);
        return;
    }
    if (text.starts_with("sz: skipped: ")) {
        const std::string name = last_component(text.substr(13));
        if (auto it = files_.find(name); it != files_.end())
            fail(it->second, FailReason::skipped, words);
        return;
    }
}

// The last progress line kept, read into the file's figures; and said.
void EventScanner::take_progress(bool say)
{
    if (progress_line_.empty() || !current_)
        return;
    uint64_t n = 0, bps = 0;
    std::optional<uint64_t> of;
    if (counts(progress_line_, "Bytes Sent:", n, of, bps) || counts(progress_line_, "Bytes received:", n, of, bps)) {
        FileFacts& f = current_->facts;
        f.bytes = n;
        f.bps = bps;
        if (of)
            f.size = of;
        if (say && sink_.progress)
            sink_.progress(f);
    }
    progress_line_.clear();
}

const FileFacts* EventScanner::facts(const std::string& name) const
{
    const auto it = files_.find(name);
    return it == files_.end() ? nullptr : &it->second.facts;
}

void EventScanner::completed(const std::string& name)
{
    if (auto it = files_.find(name); it != files_.end()) {
        it->second.over = true;
        if (current_ == &it->second)
            current_ = nullptr;
    }
}

void EventScanner::finish(int wait_status, int stop_signal)
{
    FailReason why = FailReason::error;
    std::string message = last_words_;
    if (batch_reason_) {
        why = *batch_reason_;
        message = batch_message_;
    } else if (wait_status != -1 && WIFSIGNALED(wait_status) && WTERMSIG(wait_status) == SIGPIPE) {
        why = FailReason::line;
    } else if (stop_signal != 0) {
        message = std::string("stopped by SIG") + sigabbrev_np(stop_signal);
    }
    for (const std::string& name : order_) {
        File& f = files_.at(name);
        if (!f.over)
            fail(f, why, message);
    }
    // A copy left on disk; a refused file was never written (what is there
    // is older).
    for (const Held& h : held_) {
        const std::string path = dir_ + "/" + h.facts.name;
        struct stat st {};
        const bool left = h.facts.name.find('/') == std::string::npos && stat(path.c_str(), &st) == 0 &&
                          S_ISREG(st.st_mode);
        if (sink_.failed)
            sink_.failed(h.facts, h.why, h.message, left ? path : "");
    }
    held_.clear();
}
