#include "events.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "report.h"

// Objects keep their fields in the order written: "event" first.
using json = nlohmann::ordered_json;

namespace {

// Events waiting for a slow reader; beyond this the newest is dropped.
constexpr size_t max_queue = 64;
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

// A name as JSON carries it: its bytes where they are UTF-8; otherwise
// with each bad byte as U+FFFD, and the bytes themselves in `name_base64`.
void put_name(json& j, const std::string& name)
{
    j["name"] = name;
    if (!valid_utf8(name))
        j["name_base64"] = base64(name);
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

struct EventStream::Line {
    json j;
};

EventStream::EventStream(const std::string& path)
    : path_(path), fd_(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666)),
      started_(Clock::now())
{
    // A socket the host passed cannot be opened again; it is written
    // through a copy of the host's descriptor, without blocking.
    int n = -1;
    if (!fd_ && errno == ENXIO && std::sscanf(path.c_str(), "/dev/fd/%d", &n) == 1 && n >= 0)  // NOLINT(cert-err34-c): a number that does not parse is no descriptor
        fd_ = UniqueFd(fcntl(n, F_DUPFD_CLOEXEC, 3));
    if (!fd_) {
        give_up(errno);
        return;
    }
    struct stat st {};
    socket_ = fstat(fd_.get(), &st) == 0 && S_ISSOCK(st.st_mode);
}

void EventStream::give_up(int err)
{
    if (!broken_)
        warn("Can't write events %s: %s\n", path_.c_str(), std::strerror(err));
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
        if (w > 0) {
            at += static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && errno == EAGAIN) {
            return false;
        } else {
            give_up(w < 0 ? errno : EIO);
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
        if (write_some(queue_.front(), written_of_front_)) {
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

void EventStream::emit(Line& line, bool droppable)
{
    if (broken_)
        return;
    json& j = line.j;
    j["v"] = 1;
    j["pid"] = getpid();
    j["time"] = now_utc();
    // One write() per object: the whole line, so that runs sharing one
    // file never tear each other's.
    std::string text = j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    if (!flush(Deadline::in({}))) {
        if (!droppable && queue_.size() < max_queue)
            queue_.push_back(std::move(text));
        return;
    }
    size_t at = 0;
    if (!write_some(text, at) && !broken_) {
        if (at > 0 || !droppable) {
            queue_.push_back(std::move(text));
            written_of_front_ = at;
        }
    }
}

void EventStream::start(const RunSettings& s, const std::string& dir)
{
    Line l{{{"event", "start"}}};
    l.j["protocol"] = protocol_word(s.proto);
    l.j["direction"] = s.action == Direction::send ? "send" : "receive";
    l.j["files"] = json::array();
    if (s.action == Direction::send)
        for (const std::string& name : s.filename)
            l.j["files"].push_back(name);
    l.j["dir"] = s.action == Direction::send ? json(nullptr) : json(dir);
    l.j["telnet"] = s.telnet;
    emit(l, false);
}

void EventStream::file(const FileFacts& f)
{
    file_started_[f.name] = Clock::now();
    Line l{{{"event", "file"}}};
    put_name(l.j, f.name);
    if (f.size)
        l.j["size"] = *f.size;
    emit(l, false);
}

void EventStream::progress(const FileFacts& f)
{
    const Clock::time_point now = Clock::now();
    if (f.name == progress_name_ && last_progress_ && now - *last_progress_ < progress_every)
        return;
    progress_name_ = f.name;
    last_progress_ = now;
    Line l{{{"event", "progress"}}};
    put_name(l.j, f.name);
    l.j["bytes"] = f.bytes;
    if (f.size)
        l.j["size"] = *f.size;
    l.j["bps"] = f.bps;
    emit(l, true);
}

void EventStream::done(const FileFacts& f, const std::string* record)
{
    const auto at = file_started_.find(f.name);
    const double seconds = at == file_started_.end() ? 0 : std::chrono::duration<double>(Clock::now() - at->second).count();
    ++files_done_;
    bytes_ += f.bytes;
    Line l{{{"event", "done"}}};
    put_name(l.j, f.name);
    l.j["bytes"] = f.bytes;
    l.j["seconds"] = std::round(seconds * 1000) / 1000;
    l.j["bps"] = f.bps;
    l.j["record"] = record ? json(*record) : json(nullptr);
    emit(l, false);
}

void EventStream::failed(const FileFacts& f, FailReason why, const std::string& message, const std::string& partial)
{
    ++files_failed_;
    Line l{{{"event", "failed"}}};
    put_name(l.j, f.name);
    l.j["bytes"] = f.bytes;
    l.j["reason"] = reason_word(why);
    l.j["message"] = message;
    l.j["partial"] = partial.empty() ? json(nullptr) : json(partial);
    emit(l, false);
}

void EventStream::end(bool error, int stop, int status)
{
    if (ended_)
        return;
    ended_ = true;
    Line l{{{"event", "end"}}};
    const char* result = error || could_not_run_ ? "error"
                         : files_done_ == 0  ? "none"
                         : files_failed_ > 0 ? "partial"
                                             : "ok";
    l.j["result"] = result;
    l.j["files_done"] = files_done_;
    l.j["files_failed"] = files_failed_;
    l.j["bytes"] = bytes_;
    l.j["seconds"] = std::round(std::chrono::duration<double>(Clock::now() - started_).count() * 1000) / 1000;
    json command = nullptr;
    if (command_status_) {
        const int ws = *command_status_;
        command = WIFSIGNALED(ws) ? signal_name(WTERMSIG(ws)) : json(WIFEXITED(ws) ? WEXITSTATUS(ws) : ws);
    }
    l.j["command"] = command;
    l.j["stop"] = signal_name(stop);
    l.j["status"] = status;
    emit(l, false);
    flush(Deadline::in(bounds::events_reader));
}
