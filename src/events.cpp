#include "events.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "append.h"
#include "format.h"
#include "report.h"

// Objects keep their fields in the order written: "event" first.
using json = nlohmann::ordered_json;

namespace {

constexpr milliseconds progress_every{250};

// RFC 3339, UTC, milliseconds.
std::string now_utc()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    tm parts{};
    gmtime_r(&t.tv_sec, &parts);
    char buf[40];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(buf + n, sizeof buf - n, ".%03ldZ", t.tv_nsec / 1'000'000);
    return buf;
}

std::string base64(const std::string& in)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size())
            v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size())
            v |= static_cast<unsigned char>(in[i + 2]);
        out += digits[v >> 18 & 63];
        out += digits[v >> 12 & 63];
        out += i + 1 < in.size() ? digits[v >> 6 & 63] : '=';
        out += i + 2 < in.size() ? digits[v & 63] : '=';
    }
    return out;
}

bool valid_utf8(const std::string& s)
{
    try {
        (void)json(s).dump();
        return true;
    } catch (const json::type_error&) {
        return false;
    }
}

// Text as JSON carries it: its bytes where they are UTF-8; otherwise with
// each bad byte as U+FFFD, and the bytes themselves in `<key>_base64`.
void put_text(json& j, const char* key, const std::string& text)
{
    j[key] = text;
    if (!valid_utf8(text))
        j[std::string(key) + "_base64"] = base64(text);
}

// A file's name, and a send's place for it among the names given.
void put_file(json& j, const FileFacts& f)
{
    if (f.unnamed)
        j["name"] = nullptr;
    else
        put_text(j, "name", f.name);
    if (f.index)
        j["index"] = *f.index;
}

// U+2028 and U+2029 are valid in JSON strings, but readers that split lines
// on every Unicode line break (as Python's splitlines does) would cut an
// object there.
void escape_line_separators(std::string& text)
{
    for (size_t at = 0; (at = text.find("\xE2\x80", at)) != std::string::npos; at += 2) {
        if (at + 2 < text.size() && (text[at + 2] == '\xA8' || text[at + 2] == '\xA9'))
            text.replace(at, 3, text[at + 2] == '\xA8' ? "\\u2028" : "\\u2029");
    }
}

// 128 random bits, as hex: no other run on the machine has them.
std::string new_run_id()
{
    unsigned char bits[16]{};
    size_t got = 0;
    while (got < sizeof bits) {
        const ssize_t n = getrandom(bits + got, sizeof bits - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (errno != EINTR)
            break;
    }
    if (got < sizeof bits) {  // no random source: the pid and the clocks
        const uint64_t a = static_cast<uint64_t>(getpid()) << 32 ^ static_cast<uint64_t>(Clock::now().time_since_epoch().count());
        const uint64_t b = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
        std::memcpy(bits, &a, 8);
        std::memcpy(bits + 8, &b, 8);
    }
    char hex[33];
    for (size_t i = 0; i < sizeof bits; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", bits[i]);
    return hex;
}

const char* protocol_word(Protocol p)
{
    switch (p) {
    case Protocol::xmodem:
        return "xmodem";
    case Protocol::ymodem:
        return "ymodem";
    default:
        return "zmodem";
    }
}

json signal_name(int sig)
{
    if (sig == 0)
        return nullptr;
    const char* abbrev = sigabbrev_np(sig);
    return abbrev ? json(std::string("SIG") + abbrev) : json(sig);
}

}  // namespace

EventStream::EventStream(const std::string& path)
    : path_(path), fd_(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666)),
      run_id_(new_run_id()), started_(Clock::now())
{
    // A socket the host passed cannot be opened again; it is written
    // through a copy of the host's descriptor, without blocking.
    int n = -1;
    if (!fd_ && errno == ENXIO && std::sscanf(path.c_str(), "/dev/fd/%d", &n) == 1 && n >= 0)  // NOLINT(cert-err34-c): a number that does not parse is no descriptor
        fd_ = UniqueFd(fcntl(n, F_DUPFD_CLOEXEC, 3));
    if (!fd_) {
        give_up(std::strerror(errno));
        return;
    }
    struct stat st {};
    socket_ = fstat(fd_.get(), &st) == 0 && S_ISSOCK(st.st_mode);
    tail_ = open_tail(fd_.get());
}

void EventStream::give_up(const char* why)
{
    if (!broken_)
        warn("Can't write events %s: %s\n", path_.c_str(), why);
    broken_ = true;
    queue_.clear();
    fd_.reset();
}

bool EventStream::write_some(const std::string& bytes, size_t& at)
{
    while (at < bytes.size()) {
        const char* p = bytes.data() + at;
        const size_t n = bytes.size() - at;
        const ssize_t w =
            socket_ ? ::send(fd_.get(), p, n, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd_.get(), p, n);
        if (w > 0 && tail_ && static_cast<size_t>(w) < n) {
            // A file shared with other runs is never left with part of an
            // object: what was cut is taken back, and the stream ends here.
            const std::string why = format_message("a short write (%zd of %zu bytes)", w, n);
            if (!take_back(fd_.get(), static_cast<size_t>(w)))
                warn("Can't take back the cut event in %s: %s\n", path_.c_str(), std::strerror(errno));
            give_up(why.c_str());
            return false;
        }
        if (w > 0) {
            at += static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && errno == EAGAIN) {
            return false;
        } else {
            give_up(std::strerror(w < 0 ? errno : EIO));
            return false;
        }
    }
    return true;
}

// Writes what is queued, waiting for the reader until `until`; true when
// nothing is left.
bool EventStream::flush(const Deadline& until)
{
    while (!broken_ && !queue_.empty()) {
        if (written_of_front_ == 0 && ends_mid_line(tail_.get()))
            queue_.front().text.insert(0, "\n");  // after a line another run cut and could not take back
        if (write_some(queue_.front().text, written_of_front_)) {
            queue_.pop_front();
            written_of_front_ = 0;
            continue;
        }
        if (broken_ || until.passed())
            break;
        pollfd out{fd_.get(), POLLOUT, 0};
        poll(&out, 1, until.remaining_ms());
    }
    return queue_.empty();
}

// Each object goes out with one write() when the reader keeps up: the whole
// line, so that runs sharing one file never tear each other's. While the
// reader lags, progress is dropped and every other event waits its turn.
void EventStream::emit(json& j, bool progress)
{
    if (broken_)
        return;
    j["v"] = 1;
    j["run"] = run_id_;
    j["pid"] = getpid();
    j["time"] = now_utc();
    std::string text = j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    escape_line_separators(text);
    if (!flush(Deadline::in({})) && progress)
        return;
    queue_.push_back({std::move(text), progress});
    flush(Deadline::in({}));
}

EventStream::FileKey EventStream::key(const FileFacts& f)
{
    return {f.index.value_or(SIZE_MAX), f.name};
}

void EventStream::start(const RunSettings& s, const std::string& dir)
{
    json j{{"event", "start"}};
    j["protocol"] = s.streaming ? "ymodem-g" : protocol_word(s.proto);
    j["direction"] = s.action == Direction::send ? "send" : "receive";
    const bool sending = s.action == Direction::send;
    j["files"] = json::array();
    for (const std::string& name : sending ? s.filename : std::vector<std::string>{})
        j["files"].push_back(name);
    if (sending && !std::all_of(s.filename.begin(), s.filename.end(), valid_utf8)) {
        j["files_base64"] = json::array();
        for (const std::string& name : s.filename)
            j["files_base64"].push_back(base64(name));
    }
    if (sending)
        j["dir"] = nullptr;
    else
        put_text(j, "dir", dir);
    j["telnet"] = s.telnet;
    emit(j, false);
}

void EventStream::file(const FileFacts& f)
{
    file_started_[key(f)] = Clock::now();
    json j{{"event", "file"}};
    put_file(j, f);
    if (f.size)
        j["size"] = *f.size;
    emit(j, false);
}

void EventStream::progress(const FileFacts& f)
{
    const Clock::time_point now = Clock::now();
    if (key(f) == progress_of_ && last_progress_ && now - *last_progress_ < progress_every)
        return;
    progress_of_ = key(f);
    last_progress_ = now;
    json j{{"event", "progress"}};
    put_file(j, f);
    j["bytes"] = f.bytes;
    if (f.size)
        j["size"] = *f.size;
    j["bps"] = f.bps;
    emit(j, true);
}

void EventStream::done(const FileFacts& f, const std::string* record)
{
    const auto at = file_started_.find(key(f));
    const double seconds = at == file_started_.end() ? 0 : std::chrono::duration<double>(Clock::now() - at->second).count();
    ++files_done_;
    bytes_ += f.bytes;
    json j{{"event", "done"}};
    put_file(j, f);
    j["bytes"] = f.bytes;
    j["seconds"] = std::round(seconds * 1000) / 1000;
    j["bps"] = f.bps;
    if (record)
        put_text(j, "record", *record);
    else
        j["record"] = nullptr;
    emit(j, false);
}

void EventStream::failed(const FileFacts& f, FailReason why, const std::string& message,
                         const std::optional<Partial>& partial)
{
    ++files_failed_;
    json j{{"event", "failed"}};
    put_file(j, f);
    j["bytes"] = f.bytes;
    j["reason"] = reason_word(why);
    put_text(j, "message", message);
    if (partial) {
        put_text(j, "partial", partial->path);
        j["partial_bytes"] = partial->bytes;
    } else {
        j["partial"] = nullptr;
        j["partial_bytes"] = nullptr;
    }
    emit(j, false);
}

void EventStream::end(bool error, int stop, int status)
{
    if (ended_)
        return;
    ended_ = true;
    // A command that failed never ends a run that is `ok`, even when every
    // file it told of went through.
    const bool command_failed = command_status_ && *command_status_ != 0;
    json j{{"event", "end"}};
    const char* result = error || could_not_run_                    ? "error"
                         : files_done_ == 0                         ? "none"
                         : files_failed_ > 0 || command_failed ? "partial"
                                                                    : "ok";
    j["result"] = result;
    j["files_done"] = files_done_;
    j["files_failed"] = files_failed_;
    j["bytes"] = bytes_;
    j["seconds"] = std::round(std::chrono::duration<double>(Clock::now() - started_).count() * 1000) / 1000;
    json command = nullptr;
    if (command_status_) {
        const int ws = *command_status_;
        command = WIFSIGNALED(ws) ? signal_name(WTERMSIG(ws)) : json(WIFEXITED(ws) ? WEXITSTATUS(ws) : ws);
    }
    j["command"] = command;
    j["stop"] = signal_name(stop);
    j["status"] = status;
    emit(j, false);
    flush(Deadline::in(bounds::events_reader));
    const auto lost = std::count_if(queue_.begin(), queue_.end(), [](const Queued& q) { return !q.progress; });
    if (lost > 0)
        warn("Can't write events %s: its reader fell behind; %td events lost.\n", path_.c_str(), lost);
}
