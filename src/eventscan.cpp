#include "eventscan.h"

#include <sys/wait.h>

#include <algorithm>
#include <csignal>

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

FileFacts facts_of(std::string name, std::optional<size_t> index = std::nullopt)
{
    FileFacts f;
    f.name = std::move(name);
    f.index = index;
    return f;
}

}  // namespace

EventScanner::EventScanner(FileSink& sink, bool sending, const std::vector<std::string>& names,
                           const ReceivedFiles* received)
    : sink_(sink), sending_(sending), received_(received)
{
    for (size_t i = 0; i < names.size(); ++i)
        unannounced_.push_back({names[i], last_component(names[i]), i});
}

void EventScanner::header(std::string_view line, const std::string& name)
{
    going_ = !name.empty();  // YMODEM's closing header names no file, and the last one is over
    if (!going_)
        return;
    last_words_ = trim(line);
    since_header_.reset();
    cannot_open_.clear();
    name_rest_.clear();
    // sz's header ends at a line end in the name: the given name tells the
    // rest, which then passes by as lines of its own. sz sends in the order
    // given, so the first name still to come that fits is the one.
    const auto it = std::find_if(unannounced_.begin(), unannounced_.end(), [&](const Given& n) {
        return n.as_recorded.starts_with(name) &&
               (n.as_recorded.size() == name.size() || (sending_ && n.as_recorded[name.size()] == '\n'));
    });
    FileFacts facts = facts_of(name);
    if (it != unannounced_.end()) {
        facts.name = std::move(it->as_recorded);
        facts.index = it->index;
        // The sender's own size: X/YMODEM counts whole blocks.
        facts.size = file_size(it->as_given);
        unannounced_.erase(it);
    }
    name_rest_ = facts.name.size() > name.size() ? facts.name.substr(name.size() + 1) : "";
    files_.push_back(Entry{std::move(facts), std::nullopt});
    sink_.file(files_.back().facts);
}

void EventScanner::line(std::string_view text)
{
    if (!name_rest_.empty()) {
        const bool rest = name_rest_.starts_with(text) &&
                          (text.size() == name_rest_.size() || name_rest_[text.size()] == '\n' ||
                           name_rest_[text.size()] == '\r');
        name_rest_ = rest ? name_rest_.substr(std::min(name_rest_.size(), text.size() + 1)) : "";
        if (rest)
            return;
    }
    message(trim(read_count(trim(text))));
}

void EventScanner::completed(const TransferLogRecord& rec, const std::string* written, bool believed)
{
    Entry* const file = current();
    if (!file)
        return;
    going_ = false;
    // A record no file backs leaves its file to fail at the end; one that
    // names a given name only up to its line end is that name's.
    if (!believed && file->facts.name == rec.file)
        return;
    const Entry gone = std::move(*file);
    files_.pop_back();
    failed_since_ = false;
    sink_.done(gone.facts, written);
}

EventScanner::Entry* EventScanner::current()
{
    return going_ ? &files_.back() : nullptr;
}

std::string_view EventScanner::read_count(std::string_view text)
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
        else if (number(text) && file && received_)
            bytes = received_->size(file->facts.name);
    } else {
        return text;
    }
    if (file && bytes) {
        if (sending_ && file->facts.size)
            bytes = std::min(*bytes, *file->facts.size);  // the last block's padding is no data
        if (*bytes > file->facts.bytes)
            file->said.reset();  // the transfer went on after whatever the stream said
        file->facts.bytes = *bytes;
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
        // "sz: cannot open NAME: No such file or directory" (or "Permission
        // denied"): a file to send that could not be opened; the batch goes on.
        if (take(rest, "sz: cannot open ") && contains(rest, ": "))
            return fail_named(rest.substr(0, rest.rfind(": ")), FailReason::missing, text);
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

void EventScanner::fail(Entry& entry, const Said::value_type& why, const std::optional<Partial>& partial)
{
    failed_since_ = true;
    going_ = going_ && &entry != &files_.back();
    const auto at = std::find_if(files_.begin(), files_.end(), [&](const Entry& e) { return &e == &entry; });
    const Entry gone = std::move(entry);
    files_.erase(at);
    sink_.failed(gone.facts, why.first, why.second, partial);
}

void EventScanner::fail_named(std::string_view given, FailReason reason, std::string_view text)
{
    FileFacts facts = facts_of(last_component(std::string(given)), take_given(given, true));
    if (!facts.index)
        facts.index = take_given(facts.name, false);
    failed_since_ = true;
    sink_.failed(facts, reason, std::string(text), std::nullopt);
}

std::optional<size_t> EventScanner::take_given(std::string_view name, bool as_given)
{
    const auto it = std::find_if(unannounced_.begin(), unannounced_.end(),
                                 [&](const Given& n) { return (as_given ? n.as_given : n.as_recorded) == name; });
    if (it == unannounced_.end())
        return std::nullopt;
    const size_t index = it->index;
    unannounced_.erase(it);
    return index;
}

void EventScanner::finish(const Ending& end)
{
    // A hang-up or a broken pipe, as a signal or as the status sz and rz
    // exit with once they have caught one.
    const int ws = end.wait_status;
    const int code = WIFEXITED(ws) ? WEXITSTATUS(ws) : 0;
    const int sig = WIFSIGNALED(ws) ? WTERMSIG(ws) : code > 128 ? code - 128 : 0;
    std::optional<FailReason> ending;
    if (end.own)
        ending = end.own;
    else if (end.stop != 0)
        ending = end.stop == SIGHUP ? FailReason::line : FailReason::cancelled;
    else if (end.line_cut || sig == SIGPIPE || sig == SIGHUP)
        ending = FailReason::line;
    // A broken pipe or a timeout that the command met on its way out of a
    // stop, or of a line the relay saw go, is the stop's or the cut's.
    const bool ended_from_outside = end.stop != 0 || end.own || end.line_cut;
    const auto why = [&](const Said& said) {
        if (said && !(ended_from_outside && (said->first == FailReason::line || said->first == FailReason::timeout)))
            return *said;
        return std::pair{ending.value_or(FailReason::error), said ? said->second : last_words_};
    };
    const bool command_failed = ws != 0;
    if (!sending_ && command_failed && files_.empty() && !failed_since_) {
        // An upload that failed before its name reached the stream.
        FileFacts unnamed;
        unnamed.unnamed = true;
        sink_.failed(unnamed, why(since_header_).first, why(since_header_).second, std::nullopt);
    }
    while (!files_.empty()) {
        Entry& file = files_.front();
        // A copy that this run made and left behind, whatever it holds.
        fail(file, why(file.said), received_ ? received_->partial(file.facts.name) : std::nullopt);
    }
    // Named, never announced: what ended the batch ended them too.
    for (const Given& named : std::exchange(unannounced_, {})) {
        const auto [reason, message] = why(since_header_);
        sink_.failed(facts_of(named.as_recorded, named.index), reason, message, std::nullopt);
    }
}
