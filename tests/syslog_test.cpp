// -s copies every message on standard error and every transfer-log record to the system log. The test
// plays the system logger by binding the log socket itself, which it can only
// do where no logger owns it.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "support.h"

namespace {

const char log_socket[] = "/dev/log";

class FakeLogger {
public:
    bool bind_socket(std::string& why)
    {
        if (file_exists(log_socket)) {
            why = std::string(log_socket) + " already exists (a system logger owns it)";
            return false;
        }
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", log_socket);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            why = std::string("cannot bind ") + log_socket + ": " + std::strerror(errno);
            return false;
        }
        bound_ = true;
        return true;
    }
    ~FakeLogger()
    {
        if (bound_)
            unlink(log_socket);
        if (fd_ >= 0)
            close(fd_);
    }
    // Every message of ours that arrives within a short while; other programs
    // (sz and rz of concurrent tests among them) may log here too.
    std::vector<std::string> drain()
    {
        std::vector<std::string> got;
        pollfd p{fd_, POLLIN, 0};
        while (poll(&p, 1, 500) > 0) {
            char buf[4096];
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            std::string m(buf, static_cast<size_t>(n));
            if (m.find(" vek[") != std::string::npos)
                got.push_back(m);
        }
        return got;
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

// "<PRI>timestamp vek[pid]: text" -> "<PRI>text"
std::string strip_header(const std::string& m)
{
    size_t close = m.find('>');
    size_t tag = m.find(" vek[");
    size_t colon = m.find("]: ", tag);
    if (close == std::string::npos || tag == std::string::npos || colon == std::string::npos)
        return "unparsed: " + m;
    return m.substr(0, close + 1) + m.substr(colon + 3);
}

TEST(Syslog, FatalMessagesAndRecordsOnlyWithTheFlag)
{
    FakeLogger logger;
    std::string why;
    if (!logger.bind_socket(why))
        GTEST_SKIP() << "system log not testable here: " << why;

    TempDir dir;
    // An sz that reports one file sent, as the real one does on its standard error.
    mkdir((dir / "bin").c_str(), 0755);
    write_file(dir / "bin/sz", "#!/bin/sh\nprintf 'Sending: a.zip\\nBytes Sent: 100 BPS:12\\n' >&2\n", 0755);
    RunOptions opts;
    opts.env = base_env();
    opts.env["PATH"] = dir / "bin:" + opts.env["PATH"];
    opts.env["TMP"] = dir.path();
    opts.env["VEKLOG"] = dir / "xfer.log";

    run_program({vek_binary(), "sz", "a.zip"}, opts);
    run_program({vek_binary(), "-v"}, opts);
    EXPECT_TRUE(logger.drain().empty());

    RunResult r = run_program({vek_binary(), "-s", "sz", "a.zip"}, opts);
    EXPECT_EQ(r.status, 0);
    r = run_program({vek_binary(), "-s"}, opts);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Fatal: Protocol not specified!\n");
    RunOptions full = opts;
    full.env["VEKLOG"] = "/dev/full";
    r = run_program({vek_binary(), "-s", "sz", "a.zip"}, full);
    EXPECT_EQ(r.err, "Error! Can't write veklog /dev/full: No space left on device\n");
    run_program({vek_binary(), "-s", "sz", "b.zip"}, opts);  // sz says a.zip: not this run's
    RunOptions bare = opts;
    bare.env["PATH"] = dir / "bin";
    run_program({vek_binary(), "-s", "rz"}, bare);
    std::vector<std::string> got;
    for (const auto& m : logger.drain())
        got.push_back(strip_header(m));
    // Facility user (1): level info (6) gives 14, error (3) 11, warning (4)
    // 12, notice (5) 13.
    const std::string a_zip = "S  99999 38400 bps 12   cps   0 errors    66 1024 a.zip -1";
    EXPECT_EQ(got, (std::vector<std::string>{
                       "<14>" + a_zip, "<11>Fatal: Protocol not specified!",
                       "<12>Error! Can't write veklog /dev/full: No space left on device", "<14>" + a_zip,
                       "<13>Passed over 1 records for files this run did not move.",
                       "<11>Fatal! Can't run rz!", "<11>sh: 1: rz: not found"}));
    // The transfer log itself is unchanged by the flag.
    EXPECT_EQ(read_file(dir / "xfer.log"), a_zip + "\n" + a_zip + "\n");
}

}  // namespace
