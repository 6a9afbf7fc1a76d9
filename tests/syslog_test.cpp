// -s copies every message on standard error and every transfer-log record to
// the system log. The test plays the system logger by binding the log socket
// itself, which it can only do where no logger owns it.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>

#include "fixtures.h"
#include "records.h"

namespace {

class Syslog : public FakeTools {};

TEST_F(Syslog, FatalMessagesAndRecordsOnlyWithTheFlag)
{
    if (file_exists("/dev/log"))
        GTEST_SKIP() << "a system logger owns /dev/log";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        GTEST_SKIP() << "cannot bind /dev/log: " << std::strerror(errno);
    }
    // Our messages that arrive within a short while, as "<PRI>text": other
    // programs (sz and rz of concurrent tests among them) may log here too.
    auto drain = [fd] {
        std::vector<std::string> got;
        pollfd p{fd, POLLIN, 0};
        char buf[4096];
        std::smatch m;
        for (ssize_t n; poll(&p, 1, 500) > 0 && (n = recv(fd, buf, sizeof buf, 0)) > 0;) {
            const std::string message(buf, static_cast<size_t>(n));
            if (std::regex_match(message, m, std::regex("(<[0-9]+>).* vek\\[[0-9]+\\]: (.*)")))
                got.push_back(m.str(1) + m.str(2));
        }
        return got;
    };
    env["VEKLOG"] = dir / "xfer.log";
    env["FAKE_STDERR"] = "Sending: a.zip\\nBytes Sent: 100 BPS:12\\n";

    vek({"sz", "a.zip"});
    vek({"-v"});
    EXPECT_EQ(drain(), std::vector<std::string>{});

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
    EXPECT_EQ(drain(), (std::vector<std::string>{
                           "<14>" + a_zip, "<11>Fatal: Protocol not specified!",
                           "<12>Error! Can't write veklog /dev/full: No space left on device", "<14>" + a_zip,
                           "<13>Passed over 1 records for files this run did not move.", "<11>Fatal! Can't run rz!",
                           "<11>sh: 1: exec: rz: not found"}));
    unlink("/dev/log");
    close(fd);
    // The transfer log itself is unchanged by the flag.
    EXPECT_EQ(read_file(dir / "xfer.log"), sent("a.zip", 12) + sent("a.zip", 12));
}

}  // namespace
