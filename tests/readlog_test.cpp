#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "records.h"
#include "support.h"
#include "translog.h"

namespace {

const std::string a_record = sent("a.bin");

RunSettings wanting(const std::string& veklog)
{
    RunSettings s;
    s.makeveklog = true;
    s.veklog = veklog;
    return s;
}

TEST(ReadLog, AppendsRecordsAndDeletesTheLog)
{
    TempDir dir;
    write_file(dir / "tmp.log", sz_text + sz_text);
    write_file(dir / "vek.log", "earlier record\n");
    Verbosity v(3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(readlog(wanting(dir / "vek.log"), dir / "tmp.log"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "DEBUG: Reading: " + dir / "tmp.log" + "\nDEBUG: removing temporary log.\n");
    EXPECT_EQ(read_file(dir / "vek.log"), "earlier record\n" + a_record + a_record);
    EXPECT_FALSE(file_exists(dir / "tmp.log"));

    // A new transfer log is created as the umask allows.
    write_file(dir / "tmp.log", sz_text);
    mode_t old = umask(027);
    EXPECT_EQ(readlog(wanting(dir / "new.log"), dir / "tmp.log"), 1);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat((dir / "new.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(ReadLog, WithoutTransferLogOnlyDeletes)
{
    TempDir dir;
    write_file(dir / "tmp.log", sz_text);
    RunSettings s = wanting(dir / "vek.log");
    s.makeveklog = false;
    Verbosity v(3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(readlog(s, dir / "tmp.log"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "DEBUG: removing temporary log.\n");
    EXPECT_FALSE(file_exists(dir / "tmp.log"));
    EXPECT_FALSE(file_exists(dir / "vek.log"));
}

// Each failure: the message on standard error, result 0, the temporary log
// left in place and the transfer log unchanged.
TEST(ReadLog, FailuresLeaveTheTemporaryLog)
{
    TempDir dir;
    const std::string tmp = dir / "tmp.log", vek = dir / "vek.log", sub = dir / "sub";
    mkdir(sub.c_str(), 0755);
    const std::pair<std::string, std::string> cases[] = {  // temporary log, transfer log
        {dir / "missing", vek},
        {tmp, dir / "no/such/dir/vek.log"},
        {tmp, ""},
        {sub, vek},  // opens, but every read fails
    };
    const std::string messages[] = {
        "Fatal! Can't open " + dir / "missing" + "!\n",
        "Fatal! Can't open veklog " + dir / "no/such/dir/vek.log" + "!\n",
        "Fatal! Can't open veklog !\n",
        "Fatal! Can't open " + sub + "!\n",
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        write_file(tmp, sz_text);
        write_file(vek, "earlier record\n");
        testing::internal::CaptureStderr();
        EXPECT_EQ(readlog(wanting(cases[i].second), cases[i].first), 0) << i;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), messages[i]);
        EXPECT_TRUE(file_exists(tmp) && file_exists(sub)) << i;
        EXPECT_EQ(read_file(vek), "earlier record\n") << i;
    }
}

TEST(ReadLog, FailedWritesAreReportedAndTheRunGoesOn)
{
    TempDir dir;
    write_file(dir / "tmp.log", sz_text + sz_text);
    testing::internal::CaptureStderr();
    EXPECT_EQ(readlog(wanting("/dev/full"), dir / "tmp.log"), 1);
    const std::string line = "Error! Can't write veklog /dev/full: No space left on device\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line + line);
    EXPECT_FALSE(file_exists(dir / "tmp.log"));
}

// Several runs appending to one transfer log at once: every record whole.
TEST(ReadLog, ConcurrentRunsNeverTearRecords)
{
    TempDir dir;
    const int runs = 4, per_run = 3000;
    std::string log, expected;
    for (int i = 0; i < per_run; ++i)
        log += sz_text;
    std::vector<pid_t> pids;
    for (int r = 0; r < runs; ++r) {
        const std::string tmp = dir / ("tmp" + std::to_string(r));
        write_file(tmp, log);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            _exit(readlog(wanting(dir / "vek.log"), tmp) == 1 ? 0 : 1);
        pids.push_back(pid);
    }
    const Deadline deadline = deadline_after(60);
    for (pid_t pid : pids)
        EXPECT_EQ(reap(pid, deadline), 0);
    for (int i = 0; i < runs * per_run; ++i)
        expected += a_record;
    EXPECT_TRUE(read_file(dir / "vek.log") == expected) << "torn or missing records";
}

// sz and rz back to back through two named pipes, as the program runs them,
// each with its standard error in a file: their real diagnostic streams must
// give the records.
TEST(ReadLog, RealCommandsGiveTheRecords)
{
    RunOptions opts;
    opts.env = base_env();
    if (run_program({"/bin/sh", "-c", "command -v sz && command -v rz"}, opts).status != 0)
        GTEST_SKIP() << "sz and rz (Debian package lrzsz) are not on PATH";
    TempDir dir;
    std::string data;
    for (int i = 0; i < 100000; ++i)
        data += static_cast<char>(i * 7919 % 251);
    mkdir((dir / "from").c_str(), 0755);
    mkdir((dir / "to").c_str(), 0755);
    write_file(dir / "from/a.bin", data);
    opts.cwd = dir.path();
    opts.timeout_seconds = 60;
    RunResult r = run_program({"/bin/sh", "-c",
                               "mkfifo forth back || exit 1; "
                               "(cd to && exec rz -bpRvv <../forth >../back 2>../rz.log) & "
                               "(cd from && exec sz -brNvv a.bin >../forth <../back 2>../sz.log); "
                               "sz=$?; wait $! && exit $sz"},
                              opts);
    ASSERT_TRUE(r.status == 0 && !r.timed_out) << r.err << read_file(dir / "sz.log") << read_file(dir / "rz.log");
    ASSERT_EQ(read_file(dir / "to/a.bin"), data);

    EXPECT_EQ(readlog(wanting(dir / "send.vek"), dir / "sz.log"), 1);
    EXPECT_EQ(read_file(dir / "send.vek"), a_record);
    // "Bytes received" does not match the pattern, so the rate stays at 0.
    EXPECT_EQ(readlog(wanting(dir / "recv.vek"), dir / "rz.log"), 1);
    EXPECT_EQ(read_file(dir / "recv.vek"), received("a.bin"));
}

}  // namespace
