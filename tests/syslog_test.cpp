// -s copies every message on standard error and every transfer-log record to
// the system log. The tests run a system logger of their own: rsyslogd where
// it is installed (configured by the test, writing only in the test's
// directory), else a socket the test binds and reads itself. Either takes
// /dev/log only when no other logger has it, one test at a time.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "fixtures.h"
#include "records.h"

namespace {

const std::string rsyslogd_path = "/usr/sbin/rsyslogd";

const sockaddr_un dev_log = [] {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    return addr;
}();

sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// Whether something takes connections (or datagrams) at `addr`.
template <class Address>
bool answers(int type, const Address& addr)
{
    const int fd = socket(reinterpret_cast<const sockaddr*>(&addr)->sa_family, type | SOCK_CLOEXEC, 0);
    const bool yes = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return yes;
}
bool dev_log_answers() { return answers(SOCK_DGRAM, dev_log); }

// /dev/log for this test alone: the lock (on this test binary, which every
// test process shares) keeps the other tests off it; `why_not` says why the
// test cannot have it (another logger owns it). A socket nobody reads is
// left from a logger that died, and goes.
class DevLog {
public:
    DevLog() : lock_(open("/proc/self/exe", O_RDONLY | O_CLOEXEC))
    {
        flock(lock_, LOCK_EX);
        if (dev_log_answers())
            why_not = "a system logger owns /dev/log";
        else if (unlink("/dev/log") != 0 && errno != ENOENT)
            why_not = std::string("cannot take /dev/log: ") + std::strerror(errno);
    }
    ~DevLog() { close(lock_); }
    DevLog(const DevLog&) = delete;
    DevLog& operator=(const DevLog&) = delete;

    std::string why_not;

private:
    int lock_;
};

// rsyslogd in the foreground with the configuration `conf` (written to
// DIR/rsyslog.conf), its pid file and its own complaints in DIR too, until
// stop() or the end of its scope.
class Rsyslogd {
public:
    Rsyslogd(const std::string& dir, const std::string& conf) : dir_(dir)
    {
        write_file(dir_ + "/rsyslog.conf", conf);
        start();
    }
    ~Rsyslogd() { stop(); }
    Rsyslogd(const Rsyslogd&) = delete;
    Rsyslogd& operator=(const Rsyslogd&) = delete;

    void start()
    {
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        const int err = open((dir_ + "/rsyslogd.err").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        RunOptions options;
        options.env = base_env();
        options.cwd = dir_;
        pid_ = spawn({rsyslogd_path, "-n", "-f", dir_ + "/rsyslog.conf", "-i", dir_ + "/rsyslogd.pid"}, options,
                     null, null, err);
        close(null);
        close(err);
    }
    void stop()
    {
        if (pid_ < 0)
            return;
        kill(pid_, SIGTERM);
        bool killed = false;
        reap(pid_, deadline_after(10), killed);
        pid_ = -1;
    }
    std::string complaints() const { return read_file(dir_ + "/rsyslogd.err"); }

private:
    std::string dir_;
    pid_t pid_ = -1;
};

// The syslog line of each message as a datagram carries it, "<PRI>TIMESTAMP
// TAG[PID]: text", so that rsyslogd's file reads as the socket does.
const char* const datagram_template =
    R"(template(name="datagram" type="string" string="<%PRI%>%TIMESTAMP% %syslogtag%%msg:::sp-if-no-1st-sp%%msg%\n"))";

// The system log as the first test reads it. `kind` says which logger it
// is; `unavailable`, why there is none.
class LogCatcher {
public:
    explicit LogCatcher(const std::string& dir) : file_(dir + "/messages")
    {
        if (!dev_log_.why_not.empty()) {
            unavailable = dev_log_.why_not;
        } else if (file_exists(rsyslogd_path)) {
            kind = "rsyslogd";
            rsyslogd_.emplace(dir, std::string("module(load=\"imuxsock\" SysSock.RateLimit.Interval=\"0\")\n") +
                                       datagram_template + "\naction(type=\"omfile\" file=\"" + file_ +
                                       "\" template=\"datagram\")\n");
            if (!eventually(dev_log_answers, 10))
                unavailable = "rsyslogd did not start: " + rsyslogd_->complaints();
        } else {
            kind = "a socket of the test's own";
            socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (bind(socket_, reinterpret_cast<const sockaddr*>(&dev_log), sizeof dev_log) != 0)
                unavailable = std::string("cannot bind /dev/log: ") + std::strerror(errno);
        }
    }
    ~LogCatcher()
    {
        if (socket_ >= 0) {
            unlink("/dev/log");
            close(socket_);
        }
    }

    // What arrived since the last call, once nothing more has come for half
    // a second: each message as "<PRI>...".
    std::vector<std::string> drain()
    {
        std::vector<std::string> got;
        if (rsyslogd_) {
            std::string text;
            for (size_t seen = std::string::npos; text.size() != seen;) {
                seen = text.size();
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                text = file_exists(file_) ? read_file(file_) : "";
            }
            const size_t whole = text.rfind('\n') + 1;  // 0 when there is no line yet
            got = whole_lines(text.substr(taken_, whole - taken_));
            taken_ = whole;
            return got;
        }
        pollfd p{socket_, POLLIN, 0};
        char buf[4096];
        for (ssize_t n; poll(&p, 1, 500) > 0 && (n = recv(socket_, buf, sizeof buf, 0)) > 0;)
            got.emplace_back(buf, static_cast<size_t>(n));
        return got;
    }

    std::string kind, unavailable;

private:
    DevLog dev_log_;
    std::string file_;
    size_t taken_ = 0;
    std::optional<Rsyslogd> rsyslogd_;
    int socket_ = -1;
};

class Syslog : public FakeTools {};

TEST_F(Syslog, FatalMessagesAndRecordsOnlyWithTheFlag)
{
    TimeLimit limit(60);
    LogCatcher log(dir.path());
    if (!log.unavailable.empty())
        GTEST_SKIP() << log.unavailable;
    std::printf("system logger: %s\n", log.kind.c_str());
    // Our messages, as "<PRI>text": other programs (sz and rz of concurrent
    // tests among them) may log here too.
    auto ours = [&log] {
        std::vector<std::string> got;
        std::smatch m;
        for (const std::string& message : log.drain())
            if (std::regex_match(message, m, std::regex("(<[0-9]+>).* vek\\[[0-9]+\\]: (.*)")))
                got.push_back(m.str(1) + m.str(2));
        return got;
    };
    env["VEKLOG"] = dir / "xfer.log";
    env["FAKE_STDERR"] = "Sending: a.zip\\nBytes Sent: 100 BPS:12\\n";

    vek({"sz", "a.zip"});
    vek({"-v"});
    EXPECT_EQ(ours(), std::vector<std::string>{});

    EXPECT_EQ(vek({"-s", "sz", "a.zip"}).status, 0);
    EXPECT_EQ(vek({"-s"}).status, 255);
    env["VEKLOG"] = "/dev/full";
    vek({"-s", "sz", "a.zip"});
    env["VEKLOG"] = dir / "xfer.log";
    vek({"-s", "sz", "b.zip"});  // sz says a.zip: not this run's
    env["PATH"] = dir / "bin";
    std::remove((dir / "bin/rz").c_str());
    vek({"-s", "rz"});
    // Facility user (1): level info (6) gives 14, error (3) 11, warning (4)
    // 12, notice (5) 13.
    const std::string a_zip = sent("a.zip", 12).substr(0, sent("a.zip", 12).size() - 1);
    EXPECT_EQ(ours(), (std::vector<std::string>{
                          "<14>" + a_zip, "<11>Fatal: Protocol not specified!",
                          "<12>Error! Can't write veklog /dev/full: No space left on device", "<14>" + a_zip,
                          "<13>Passed over 1 records for files this run did not move.", "<11>Fatal! Can't run rz!",
                          "<11>sh: 1: exec: rz: not found"}));
    // The transfer log itself is unchanged by the flag.
    EXPECT_EQ(read_file(dir / "xfer.log"), sent("a.zip", 12) + sent("a.zip", 12));
}

// A port on the loopback that nobody listens on just now.
int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// The configurations of a node and of the collector, as the README gives
// them (there with the system's paths and port). Both keep control
// characters as they are: by default rsyslog writes each as '#' and three
// octal digits (a tab in a name as #011); bytes above 127 pass unchanged.
// The node forwards vek's lines, on a queue of the action's own (LinkedList,
// spilling to queue.filename in the work directory when memory is full or
// the logger stops) that it retries for ever (resumeRetryCount -1): while
// the collector is away, lines wait there and none is dropped. The collector
// writes the records (level info) to one file, vek's messages to another.
const char* const node_conf = R"(global(workDirectory="@DIR@" parser.escapeControlCharactersOnReceive="off")
module(load="imuxsock")
@LOAD@
template(name="vek" type="string" string="%timegenerated:::date-rfc3339% %HOSTNAME% %syslogtag%%msg:::sp-if-no-1st-sp%%msg%\n")
if $programname == "vek" then {
    action(type="omfile" file="@DIR@/vek.log" template="vek")
    action(type="@OUT@" target="127.0.0.1" port="@PORT@" @OPTIONS@
           queue.type="LinkedList" queue.filename="vek-forward" queue.saveOnShutdown="on"
           action.resumeRetryCount="-1" action.resumeInterval="1")
}
)";
const char* const collector_conf = R"(global(workDirectory="@DIR@" parser.escapeControlCharactersOnReceive="off")
module(load="@IN@")
template(name="vek" type="string" string="%timegenerated:::date-rfc3339% %HOSTNAME% %syslogtag%%msg:::sp-if-no-1st-sp%%msg%\n")
ruleset(name="nodes") {
    if $syslogseverity == 6 then action(type="omfile" file="@DIR@/vek.log" template="vek")
    else action(type="omfile" file="@DIR@/vek-messages.log" template="vek")
}
input(type="@IN@" address="127.0.0.1" port="@PORT@" ruleset="nodes")
)";

// How the node's lines travel: plain TCP (omfwd), or RELP, which has the
// collector acknowledge each line, so that the node sends again what a
// stopped collector had not taken.
struct Forwarding {
    const char* load;  // the node's module for it, unless built in
    const char* out;
    const char* options;
    const char* in;
};
constexpr Forwarding plain_tcp{"", "omfwd", R"(protocol="tcp" TCP_Framing="octet-counted")", "imtcp"};
constexpr Forwarding relp{R"(module(load="omrelp"))", "omrelp", "", "imrelp"};

std::string configured(std::string conf, const std::string& dir, int port, const Forwarding& way)
{
    const std::vector<std::pair<std::string, std::string>> values{
        {"@DIR@", dir}, {"@PORT@", std::to_string(port)}, {"@LOAD@", way.load},
        {"@OUT@", way.out}, {"@OPTIONS@", way.options}, {"@IN@", way.in}};
    for (const auto& [key, value] : values)
        for (size_t at; (at = conf.find(key)) != std::string::npos;)
            conf.replace(at, key.size(), value);
    return conf;
}

// A log file written with the template above: for each line of tag
// "vek[PID]:", the pid and the text after ": " (which is the record, for a
// record) mapped to the microsecond the logger took it.
std::map<std::pair<int, std::string>, std::vector<double>> vek_lines(const std::string& path)
{
    std::map<std::pair<int, std::string>, std::vector<double>> lines;
    for (const std::string& line : whole_lines(file_exists(path) ? read_file(path) : "")) {
        int h = 0, m = 0, pid = 0, used = 0;
        double s = 0;
        if (std::sscanf(line.c_str(), "%*d-%*d-%*dT%d:%d:%lf%*s %*s vek[%d]:%n", &h, &m, &s, &pid, &used) >= 4 &&
            used > 0 && line[static_cast<size_t>(used)] == ' ')
            lines[{pid, line.substr(static_cast<size_t>(used) + 1)}].push_back(h * 3600 + m * 60 + s);
    }
    return lines;
}

class Collector : public RealPair {
protected:
    struct Through {
        int lost = 0, twice = 0, altered = 0;
        size_t records = 0;
        std::vector<double> delays;  // seconds from the node's log to the collector's file
    };

    // 20 pairs of vek -s, 10 files each, in `at`, on a node whose rsyslogd
    // forwards `way` to a collector's; with `away`, the collector is stopped
    // for 2 s once its first line arrived, while the second 10 pairs start.
    Through through(const std::string& at, const Forwarding& way, bool away)
    {
        const std::string collector_dir = root / (at + "/collector"), node_dir = root / (at + "/node");
        for (const std::string& d : {root / at, collector_dir, node_dir})
            mkdir(d.c_str(), 0755);
        const int port = free_port();
        Rsyslogd collector(collector_dir, configured(collector_conf, collector_dir, port, way));
        EXPECT_TRUE(eventually([port] { return answers(SOCK_STREAM, loopback(port)); }, 10)) << collector.complaints();
        Rsyslogd node(node_dir, configured(node_conf, node_dir, port, way));
        EXPECT_TRUE(eventually(dev_log_answers, 10)) << node.complaints();

        constexpr int pairs = 20, files_each = 10;
        std::vector<std::unique_ptr<RunningPair>> running;
        auto start = [&](int first, int last) {
            for (int p = first; p < last; p++) {
                const std::string pair = at + "/p" + std::to_string(p);
                std::vector<std::string> args{"-s", "sz"};
                for (const char* d : {"", "/send", "/recv"})
                    mkdir((root / (pair + d)).c_str(), 0755);
                for (int f = 0; f < files_each; f++) {
                    const std::string name = (f == 0 ? "caf\xc3\xa9\xff\t" : "f") + std::to_string(p * 100 + f);
                    write_file(root / (pair + "/send/" + name), random_bytes(1000 + f * 700, p * 100 + f));
                    args.push_back(name);
                }
                running.push_back(std::make_unique<RunningPair>(vek(pair + "/send", pair + "/send.log", args),
                                                                vek(pair + "/recv", pair + "/recv.log", {"-s", "rz"})));
            }
        };
        start(0, pairs / 2);
        if (away) {
            EXPECT_TRUE(eventually([&] { return !vek_lines(collector_dir + "/vek.log").empty(); }, 30));
            collector.stop();
        }
        start(pairs / 2, pairs);
        if (away) {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            collector.start();
        }

        // Each record of each side's transfer log, with the pid of its run.
        std::set<std::pair<int, std::string>> records;
        std::set<int> pids;
        for (size_t p = 0; p < running.size(); p++) {
            const auto [sender, receiver] = running[p]->wait();
            EXPECT_EQ(sender.status, 0) << sender.err;
            EXPECT_EQ(receiver.status, 0) << receiver.err;
            for (int side = 0; side < 2; side++) {
                pids.insert(running[p]->pid(side));
                for (const std::string& record :
                     whole_lines(log(at + "/p" + std::to_string(p) + (side ? "/recv.log" : "/send.log"))))
                    records.insert({running[p]->pid(side), record});
            }
        }
        std::map<std::pair<int, std::string>, std::vector<double>> arrived;
        eventually(
            [&] {
                arrived = vek_lines(collector_dir + "/vek.log");
                return std::all_of(records.begin(), records.end(), [&](const auto& r) { return arrived.count(r); });
            },
            30);
        const auto logged = vek_lines(node_dir + "/vek.log");
        Through t;
        t.records = records.size();
        for (const auto& record : records) {
            const auto there = arrived.find(record);
            t.lost += there == arrived.end();
            t.twice += there != arrived.end() && there->second.size() > 1;
            if (there != arrived.end() && logged.count(record))
                t.delays.push_back(there->second.front() - logged.at(record).front());
        }
        // Nothing else of these runs' in the records' file: no record cut or
        // altered on the way.
        for (const auto& [line, times] : arrived)
            t.altered += pids.count(line.first) && !records.count(line);
        if (t.lost)
            ADD_FAILURE() << collector.complaints() << node.complaints();
        std::sort(t.delays.begin(), t.delays.end());
        return t;
    }
};

// Every record of both sides reaches the collector's file once, with its
// run's pid, byte for byte as the transfer log has it; the names carry UTF-8,
// a byte that is not, and a tab. Plain TCP loses what is on its way when the
// collector stops (the collector had not read it, and the node had sent it),
// so the collector is stopped only under RELP.
TEST_F(Collector, EveryRecordArrivesOnceAndWholeThroughANodeLoggerAndACollector)
{
    TimeLimit limit(120);
    DevLog own;
    if (!own.why_not.empty())
        GTEST_SKIP() << own.why_not;
    if (!file_exists(rsyslogd_path))
        GTEST_SKIP() << "rsyslogd is not installed";
    const struct {
        const char* at;
        Forwarding way;
        bool away;
    } cases[] = {{"tcp", plain_tcp, false}, {"relp", relp, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at);
        const Through t = through(c.at, c.way, c.away);
        EXPECT_EQ(t.records, size_t{400});
        EXPECT_EQ(t.lost + t.twice + t.altered, 0);
        std::printf("%s%s: %zu records through node and collector, %d lost, %d twice, %d altered; node's log to "
                    "the collector's file: median %.1f ms, longest %.1f ms\n",
                    c.at, c.away ? " (the collector away 2 s)" : "", t.records, t.lost, t.twice, t.altered,
                    t.delays.empty() ? 0 : t.delays[t.delays.size() / 2] * 1000,
                    t.delays.empty() ? 0 : t.delays.back() * 1000);
    }
}

}  // namespace
