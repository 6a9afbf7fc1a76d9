#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "moved.h"
#include "records.h"
#include "support.h"
#include "translog.h"

namespace {

const std::string a_record = sent("a.bin");

// Feeds `text` through a conversion in reads of at most `piece` bytes, as the
// capture does, and returns it for a look at what it kept.
struct Converted {
    std::string first_line;
    int passed_over;
};

Converted convert(std::optional<std::string> veklog, const std::string& text, RecordCheck moved = {},
                  size_t piece = 4096)
{
    if (!moved)
        moved = [](const TransferLogRecord&) { return true; };
    LogConversion c(std::move(veklog), moved);
    for (size_t at = 0; at < text.size(); at += piece)
        c.feed(std::string_view(text).substr(at, piece));
    return {c.first_line(), c.passed_over()};
}

TEST(Conversion, AppendsRecordsAsTheyComplete)
{
    TempDir dir;
    write_file(dir / "vek.log", "earlier record\n");
    {
        LogConversion c(dir / "vek.log", [](const TransferLogRecord&) { return true; });
        std::string expected = "earlier record\n";
        for (int file = 0; file < 2; ++file) {
            c.feed(sz_text);
            // Each file's record is in the log before the next file's bytes come.
            expected += a_record;
            EXPECT_EQ(read_file(dir / "vek.log"), expected);
        }
    }
    convert((dir / "vek.log"), sz_text, {}, 7);
    EXPECT_EQ(read_file(dir / "vek.log"), "earlier record\n" + a_record + a_record + a_record);

    // A new transfer log is created as the umask allows.
    mode_t old = umask(027);
    convert((dir / "new.log"), sz_text);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat((dir / "new.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(Conversion, FirstLineAndPassedOverRecords)
{
    TempDir dir;
    const std::string text = "sh: 1: sz: not found\n" + sz_text + sz_text;
    const std::nullopt_t none = std::nullopt;  // no transfer log: the bytes are dropped, the first line kept
    for (size_t piece : {size_t{1}, size_t{5}, size_t{4096}}) {
        EXPECT_EQ(convert(none, text, {}, piece).first_line, "sh: 1: sz: not found") << piece;
        EXPECT_EQ(convert((dir / "v.log"), text, {}, piece).first_line, "sh: 1: sz: not found");
    }
    EXPECT_FALSE(file_exists(dir / "x.log"));
    const Converted c = convert((dir / "x.log"), text, sent_check({"other/a.bin"}, 0));
    EXPECT_EQ(c.passed_over, 2);
    EXPECT_EQ(read_file(dir / "x.log"), "");
    EXPECT_EQ(convert((dir / "y.log"), text, sent_check({"other/a.bin"}, 1)).passed_over, 0);
    EXPECT_EQ(read_file(dir / "y.log"), a_record + a_record);
}

// A transfer log that cannot be opened is said at once, and nothing is written;
// a pipe without a reader is one of them, rather than a wait for ever.
TEST(Conversion, TransferLogThatCannotBeOpened)
{
    TempDir dir;
    mkfifo((dir / "fifo").c_str(), 0600);
    for (const std::string& path : {dir / "no/such/dir/vek.log", std::string(), dir / "fifo"}) {
        testing::internal::CaptureStderr();
        convert((path), sz_text);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Fatal! Can't open veklog " + path + "!\n");
    }
}

TEST(Conversion, FailedWritesAreReportedAndTheRunGoesOn)
{
    testing::internal::CaptureStderr();
    convert(("/dev/full"), sz_text + sz_text);
    const std::string line = "Error! Can't write veklog /dev/full: No space left on device\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line + line);
}

// Several runs appending to one transfer log at once: every record whole.
TEST(Conversion, ConcurrentRunsNeverTearRecords)
{
    TempDir dir;
    const int runs = 4, per_run = 3000;
    std::string log, expected;
    for (int i = 0; i < per_run; ++i)
        log += sz_text;
    std::vector<pid_t> pids;
    for (int r = 0; r < runs; ++r) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            convert((dir / "vek.log"), log);
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int i = 0; i < runs * per_run; ++i)
        expected += a_record;
    EXPECT_TRUE(read_file(dir / "vek.log") == expected) << "torn or missing records";
}

// sz and rz back to back through two named pipes, as the program runs them,
// each with its standard error in a file: their real diagnostic streams must
// give the records.
TEST(Conversion, RealCommandsGiveTheRecords)
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

    convert((dir / "send.vek"), read_file(dir / "sz.log"));
    EXPECT_EQ(read_file(dir / "send.vek"), a_record);
    // "Bytes received" does not match the pattern, so the rate stays at 0.
    convert((dir / "recv.vek"), read_file(dir / "rz.log"));
    EXPECT_EQ(read_file(dir / "recv.vek"), "R  99999 38400 bps 0    cps   0 errors    66 1024 a.bin -1\n");
}

}  // namespace
