// What the stream says of each file, in the forms sz and rz write: announced,
// how far it got, and why it failed; the same however the stream is cut.
#include "eventscan.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "records.h"
#include "support.h"

namespace {

// The events for `text`, one short line each, with `done` the names completed
// (by the record scanner, in real runs) before the command ends as `status`.
std::string events(const std::string& text, bool sending, const std::vector<std::string>& names,
                   const std::string& dir, size_t piece, int status = 0, int stop = 0)
{
    std::string got;
    EventScanner scanner(
        {[&](const FileFacts& f) { got += "file " + f.name + "\n"; },
         [&](const FileFacts& f) {
             got += "progress " + f.name + " " + std::to_string(f.bytes) +
                    (f.size ? "/" + std::to_string(*f.size) : "") + "\n";
         },
         [&](const FileFacts& f, FailReason why, const std::string& message, const std::string& partial) {
             got += std::string("failed ") + f.name + " " + reason_word(why) + " (" + message + ")" +
                    (partial.empty() ? "" : " partial") + "\n";
         }},
        sending, names, dir);
    for (size_t at = 0; at < text.size(); at += piece)
        scanner.feed(text.substr(at, piece));
    // What the record scanner would have completed: every file whose final count came.
    for (const char* name : {"done.bin", "a.bin", "b.bin"})
        if (const FileFacts* f = scanner.facts(name); f && f->bytes > 0 && f->bytes >= f->size.value_or(0)) {
            got += "done " + std::string(name) + " " + std::to_string(f->bytes) + "\n";
            scanner.completed(name);
        }
    scanner.finish(status, stop);
    return got;
}

TEST(EventScanner, SaysWhatHappenedToEachFile)
{
    TempDir dir;
    write_file(dir / "cut.bin", "partial");
    // Wait statuses: a process killed by signal n has status n.
    const int killed_by_hangup = SIGHUP, piped = SIGPIPE;
    const struct Case {
        const char* what;
        std::string text;
        bool sending;
        std::vector<std::string> names;
        std::string want;
        int status = 0, stop = 0;
    } cases[] = {
        {"a whole send", sz_says("done.bin", 12), true, {"in/done.bin"},
         "file done.bin\nprogress done.bin 1024/5000\ndone done.bin 5000\n"},
        {"a file that cannot be opened; the batch goes on",
         "sz: cannot open in/nope.bin: No such file or directory\n" + sz_says("done.bin", 1), true,
         {"in/nope.bin", "done.bin"},
         "failed nope.bin missing (sz: cannot open in/nope.bin: No such file or directory)\nfile done.bin\n"
         "progress done.bin 1024/5000\ndone done.bin 5000\n"},
        {"a receiver that skips", "Sending: a.bin\nsz: skipped: a.bin\n", true, {"a.bin"},
         "file a.bin\nfailed a.bin skipped (sz: skipped: a.bin)\n"},
        {"a cancel ends the batch",
         "Sending: a.bin\n\rBytes Sent:   1024/   5000   BPS:9 ETA 00:00  \rRetry 0: Got ZCAN\n", true,
         {"a.bin", "b.bin"},
         "file a.bin\nprogress a.bin 1024/5000\nfailed a.bin cancelled (Retry 0: Got ZCAN)\n"
         "failed b.bin cancelled (Retry 0: Got ZCAN)\n"},
        {"a cut line", "Sending: a.bin\ncaught signal 13\n", true, {"a.bin"},
         "file a.bin\nfailed a.bin line (caught signal 13)\n"},
        {"a silent peer", "Sending: a.bin\nRetry 0: Got TIMEOUT\n", true, {"a.bin"},
         "file a.bin\nfailed a.bin timeout (Retry 0: Got TIMEOUT)\n"},
        {"a duplicate refused", "Receiving: a.bin\nrz: a.bin exists\nrz: caught signal -1; exiting\n", false, {},
         "file a.bin\nfailed a.bin refused (rz: a.bin exists)\n", 127 << 8},
        {"a duplicate skipped by name; the batch goes on",
         "file exists, skipped: dup.bin\nSkipped\nReceiving: b.bin\n", false, {},
         "failed dup.bin refused (file exists, skipped: dup.bin)\nfile b.bin\n"
         "failed b.bin error (Receiving: b.bin)\n"},
        {"a sender that cancels",
         "Receiving: a.bin\n\rBytes received:    1024/   5000   BPS:9 ETA 00:00  \rRetry 0: Sender Canceled\n"
         "rz: a.bin removed.\n",
         false, {}, "file a.bin\nprogress a.bin 1024/5000\nfailed a.bin cancelled (Retry 0: Sender Canceled)\n"},
        {"a hang-up: no words, a partial copy", "Receiving: cut.bin\n", false, {},
         "file cut.bin\nfailed cut.bin error (Receiving: cut.bin) partial\n", killed_by_hangup},
        {"a broken pipe", "Sending: a.bin\n", true, {"a.bin"}, "file a.bin\nfailed a.bin line (Sending: a.bin)\n",
         piped},
        {"a stop", "Sending: a.bin\n", true, {"a.bin"}, "file a.bin\nfailed a.bin error (stopped by SIGTERM)\n",
         SIGTERM, SIGTERM},
        {"XMODEM: blocks give the progress, the final count the bytes",
         read_file(std::string(VEK_TEST_DATA) + "/x-send.txt"), true, {"a.bin"},
         "file a.bin\nprogress a.bin 0\nprogress a.bin 128\nprogress a.bin 256\ndone a.bin 384\n"},
        {"YMODEM receive", read_file(std::string(VEK_TEST_DATA) + "/y-recv.txt"), false, {},
         "file a.bin\nfile b.bin\ndone a.bin 300\ndone b.bin 2000\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string whole = events(c.text, c.sending, c.names, dir.path(), c.text.size() + 1, c.status, c.stop);
        EXPECT_EQ(whole, c.want);
        for (size_t piece : {1, 2, 7})
            EXPECT_EQ(events(c.text, c.sending, c.names, dir.path(), piece, c.status, c.stop), whole) << piece;
    }
}

}  // namespace
