#include "eventscan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>

#include "logscan.h"
#include "moved.h"

namespace {

std::string_view trim(std::string_view s)
{
    constexpr const char* blanks = " \t\n\v\f\r";
    s.remove_prefix(std::min(s.find_first_not_of(blanks), s.size()));
    return s.substr(0, s.find_last_not_of(blanks) + 1);  // npos + 1 is 0
}

// Takes `word` off the front of `s` when it is there.
bool take(std::string_view& s, std::string_view word)
{
    const bool there = s.starts_with(word);
    s.remove_prefix(there ? word.size() : 0);
    return there;
}

// A number after blanks, taken off `s`; one too long for 64 bits stays at the most.
std::optional<uint64_t> number(std::string_view& s)
{
    s.remove_prefix(std::min(s.find_first_not_of(' '), s.size()));
    if (s.empty() || s[0] < '0' || s[0] > '9')
        return std::nullopt;
    uint64_t n = 0;
    for (; !s.empty() && s[0] >= '0' && s[0] <= '9'; s.remove_prefix(1))
        n = n > (UINT64_MAX - 9) / 10 ? UINT64_MAX : n * 10 + static_cast<uint64_t>(s[0] - '0');
    return n;
}

bool contains(std::string_view s, std::string_view word) { return s.find(word) != std::string_view::npos; }

// An XMODEM send's header names the file its own way: "Sending NAME, 12
// blocks: Give your local XMODEM receive command now."; the count that ends
// the name is the last one. Empty when `text` is no such header.
std::string_view xmodem_name(std::string_view text)
{
    const size_t at = take(text, "Sending ") ? text.rfind(" blocks: ") : std::string_view::npos;
    size_t digits = at == std::string_view::npos ? 0 : at;
    while (digits > 0 && text[digits - 1] >= '0' && text[digits - 1] <= '9')
        --digits;
    if (digits == at || digits < 3 || text.substr(digits - 2, 2) != ", ")
        return {};
    const std::string_view name = text.substr(0, digits - 2);
    return name.substr(name.rfind('/') + 1);  // as its record has it
}

}  // namespace

const char* reason_word(FailReason reason)
{
    static const char* const words[] = {"skipped", "refused", "cancelled", "line", "timeout", "missing", "error"};
    return words[static_cast<int>(reason)];
}

EventScanner::EventScanner(Sink sink, bool sending, const std::vector<std::string>& names, std::string dir)
    : sink_(std::move(sink)), sending_(sending), dir_(std::move(dir))
{
    for (const std::string& name : names)
        unnamed_.emplace_back(name, last_component(name));
    if (!sending_) {
        dir_fd_ = UniqueFd(::open(dir_.empty() ? "." : dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        made_here_ = received_check(dir_, file_clock_now());
    }
}

void EventScanner::feed(std::string_view bytes)
{
    for (const char c : bytes) {
        // A CR in a header is part of the name.
        if (c == '\n' || (c == '\r' && !(sending_ ? line_.starts_with("Sending")
                                                  : line_.starts_with("Receiving: ") ||
                                                        line_.starts_with("rz: ready to receive "))))
            line_ended();
        else if (line_.size() < max_header)
            line_ += c;
    }
}

void EventScanner::line_ended()
{
    const std::string line = std::exchange(line_, {});
    const std::string_view text = trim(line);
    const std::string_view xmodem = sending_ ? xmodem_name(text) : std::string_view();
    std::string_view name = xmodem.empty() ? text : xmodem;
    if (xmodem.empty() &&
        !(sending_ ? take(name, "Sending: ") : take(name, "Receiving: ") || take(name, "rz: ready to receive ")))
        return message(trim(count(text)));
    last_words_ = text;
    ++announced_;
    since_header_.reset();
    cannot_open_.clear();
    take_named(name, false);
    files_.push_back(Entry{FileFacts{std::string(name), std::nullopt, 0, 0}, std::nullopt, false, announced_});
    sink_.file(files_.back().facts);
}

EventScanner::Entry* EventScanner::current()
{
    return !files_.empty() && files_.back().seq == announced_ && !files_.back().counted ? &files_.back() : nullptr;
}

std::string_view EventScanner::count(std::string_view text)
{
    Entry* const file = current();
    std::optional<uint64_t> bytes;
    bool progress = true;
    if (take(text, "Bytes Sent:") || take(text, "Bytes received:")) {
        // "Bytes Sent: 1024/5000 BPS:3368601 ETA 00:00"; a final count has
        // no ETA, and a send's no size.
        bytes = number(text);
        const auto size = take(text, "/") ? number(text) : std::nullopt;
        text = trim(text);
        const auto bps = take(text, "BPS:") ? number(text) : std::nullopt;
        text = trim(text);
        progress = take(text, "ETA ");
        text.remove_prefix(progress ? std::min<size_t>(text.size(), 5) : 0);  // "mm:ss"
        if (file && size)
            file->facts.size = size;
        if (file && bps)
            file->facts.bps = *bps;
    } else if (take(text, "Ymodem sectors/kbytes sent:") || take(text, "Xmodem sectors/kbytes sent:")) {
        // "Ymodem sectors/kbytes sent:  49/ 6k": sectors of 128 bytes.
        bytes = number(text);
        if (bytes)
            *bytes = std::min(*bytes, UINT64_MAX / 128) * 128;
        if (take(text, "/") && number(text))
            take(text, "k");
    } else if (take(text, "Blocks received:")) {
        // The count wraps at 256 and ends negative (passed over): the copy tells.
        if (take(text, " -"))
            number(text);
        else if (number(text) && file)
            bytes = size_on_disk(file->facts.name);
    } else {
        return text;
    }
    if (file && bytes) {
        if (*bytes > file->facts.bytes)
            file->said.reset();  // the transfer went on after whatever the stream said
        file->facts.bytes = *bytes;
        file->counted = !progress;
        if (progress)
            sink_.progress(file->facts);
    }
    return text;
}

void EventScanner::message(std::string_view text)
{
    if (text.empty())
        return;
    last_words_ = text;
    Entry* const file = current();
    std::string_view rest = text;
    if (sending_) {
        // "sz: cannot open NAME: No such file or directory"; the batch goes on.
        if (take(rest, "sz: cannot open ") && contains(rest, ": "))
            return fail_named(rest.substr(0, rest.rfind(": ")),
                              rest.ends_with(": No such file or directory") ? FailReason::missing : FailReason::error,
                              text);
        if (take(rest, "sz: is not a file: "))
            return fail_named(rest, FailReason::error, text);
        if (file && text.starts_with("sz: skipped: "))
            return fail(*file, {FailReason::skipped, std::string(text)});
    } else if (const size_t at = text.find("file exists, skipped: "); at != std::string_view::npos) {
        // A duplicate rz skips by name, before any header, when the sender
        // (not sz) goes on to the next file.
        return fail_named(text.substr(at + 22), FailReason::refused, text.substr(at));
    } else if (file) {
        // "rz: NAME exists"; "rz: NAME removed.", so no partial copy is left.
        const bool of_file = take(rest, "rz: ") && take(rest, file->facts.name);
        if ((of_file && rest == " exists") || text == "rz:\tSecurity Violation")
            return fail(*file, {FailReason::refused, std::string(text)});
        if (of_file && rest == " removed.")
            return fail(*file, file->said.value_or(std::pair{FailReason::error, std::string(text)}));
        if (text.starts_with("rz: cannot open ")) {  // the cause of a skip
            cannot_open_ = text;
            return;
        }
        if (text == "Skipped")
            return fail(*file, {FailReason::skipped, cannot_open_.empty() ? std::string(text) : cannot_open_});
    }
    std::optional<FailReason> reason;
    if (contains(text, "ZCAN") || contains(text, "Canceled") || contains(text, "Cancelled"))
        reason = FailReason::cancelled;
    else if (contains(text, "TIMEOUT") || contains(text, "Timeout on "))
        reason = FailReason::timeout;
    else if (contains(text, "caught signal 13;") || contains(text, "caught signal 1;"))
        reason = FailReason::line;  // a broken pipe or a hang-up
    if (!reason)
        return;
    since_header_ = std::pair{*reason, std::string(text)};
    if (file)
        file->said = since_header_;
}

void EventScanner::fail(Entry& entry, const Said::value_type& why, const std::string& partial)
{
    const Entry gone = std::move(entry);
    files_.erase(std::find_if(files_.begin(), files_.end(), [&](const Entry& e) { return e.seq == gone.seq; }));
    sink_.failed(gone.facts, why.first, why.second, partial);
}

void EventScanner::fail_named(std::string_view given, FailReason reason, std::string_view text)
{
    const std::string name = last_component(std::string(given));
    if (!take_named(given, true))
        take_named(name, false);
    sink_.failed(FileFacts{name, std::nullopt, 0, 0}, reason, std::string(text), "");
}

bool EventScanner::take_named(std::string_view name, bool as_given)
{
    const auto it = std::find_if(unnamed_.begin(), unnamed_.end(),
                                 [&](const auto& n) { return (as_given ? n.first : n.second) == name; });
    if (it == unnamed_.end())
        return false;
    unnamed_.erase(it);
    return true;
}

const FileFacts* EventScanner::facts(const std::string& name) const
{
    const auto it = std::find_if(files_.begin(), files_.end(), [&](const Entry& e) { return e.facts.name == name; });
    return it == files_.end() ? nullptr : &it->facts;
}

void EventScanner::completed(const std::string& name)
{
    const auto it = std::find_if(files_.begin(), files_.end(), [&](const Entry& e) { return e.facts.name == name; });
    if (it != files_.end())
        files_.erase(it);
    else  // one the stream never announced here: no longer owed
        take_named(name, false);
}

void EventScanner::finish(int wait_status, int stop_signal)
{
    if (!line_.empty())
        line_ended();
    // A hang-up or a broken pipe, as a signal or as the status sz and rz
    // exit with once they have caught one.
    const int code = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 0;
    const int sig = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : code > 128 ? code - 128 : 0;
    std::optional<FailReason> ending;
    if (stop_signal != 0)
        ending = stop_signal == SIGHUP ? FailReason::line : FailReason::cancelled;
    else if (sig == SIGPIPE || sig == SIGHUP)
        ending = FailReason::line;
    const auto why = [&](const Said& said) {
        return said.value_or(std::pair{ending.value_or(FailReason::error), last_words_});
    };
    while (!files_.empty()) {
        Entry& file = files_.front();
        // A copy that this run made and left behind, whatever it holds.
        std::string partial;
        if (!sending_ && made_here_(TransferLogRecord{'R', 0, file.facts.name}))
            partial = dir_.empty() ? file.facts.name : dir_ + "/" + file.facts.name;
        fail(file, why(file.said), partial);
    }
    // Named, never announced: what ended the batch ended them too.
    for (const auto& named : std::exchange(unnamed_, {})) {
        const auto [reason, message] = why(since_header_);
        sink_.failed(FileFacts{named.second, std::nullopt, 0, 0}, reason, message, "");
    }
}

std::optional<uint64_t> EventScanner::size_on_disk(const std::string& name) const
{
    // Only beneath `dir`, and never through a link at the end.
    struct stat st {};
    if (!dir_fd_ || name.empty() || name[0] == '/' || contains("/" + name + "/", "/../") ||
        fstatat(dir_fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}
