// The event scanner over real sz and rz streams (tests/data), beside the
// record scanner as a run has them: the same events however the stream is cut.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

#include "eventscan.h"
#include "moved.h"
#include "translog.h"
#include "support.h"

namespace {

int exited(int code) { return code << 8; }  // as waitpid reports them
int killed(int sig) { return sig; }

std::string shown(const FileFacts& f)
{
    return f.name + " " + std::to_string(f.bytes) + (f.size ? "/" + std::to_string(*f.size) : "");
}

struct Case {
    std::string stream;  // a file in tests/data, or the stream itself
    bool sending;
    std::vector<std::string> names;  // "@/" stands for the directory on_disk writes in
    int status;
    EventScanner::Ending ending;  // its status is `status`
    std::vector<std::pair<std::string, size_t>> on_disk;  // files rz wrote, made after the scanner
    std::string events;  // "; " between them; a run of progress as "progress xN" and the last facts
    std::string done;    // the completions, with their facts
};

struct Replay {
    std::string events, done;
    bool operator==(const Replay&) const = default;
};

// The events as one line each, a run of progress as its count and last facts.
struct Recorder final : FileSink {
    explicit Recorder(std::string dir) : dir(std::move(dir)) {}
    void file(const FileFacts& f) override
    {
        events.push_back("file " + f.name), run = 0;
        indexes.push_back(f.index);
    }
    void progress(const FileFacts& f) override
    {
        if (run++)
            events.pop_back();
        events.push_back("progress x" + std::to_string(run) + " " + shown(f));
    }
    void done(const FileFacts& f, const std::string*) override
    {
        completions.push_back(shown(f));
        indexes.push_back(f.index);
    }
    void failed(const FileFacts& f, FailReason why, const std::string& message,
                const std::optional<Partial>& partial) override
    {
        events.push_back("failed " + (f.unnamed ? "(unnamed)" : f.name) + " " + reason_word(why) + ": " + message +
                         (partial ? " [" + partial->path.substr(dir.size()) + " " + std::to_string(partial->bytes) + "]"
                                  : ""));
        indexes.push_back(f.index);
        run = 0;
    }

    std::string dir;
    std::vector<std::string> events, completions;
    std::vector<std::optional<size_t>> indexes;  // of each file, done and failed event
    int run = 0;  // progress events in a row
};

std::string joined(const std::vector<std::string>& v)
{
    std::string all;
    for (const std::string& e : v)
        all += (all.empty() ? "" : "; ") + e;
    return all;
}

// The stream through the record scanner and the event scanner as a run wires
// them; a receive's records are all believed, the files rz wrote made after
// the run began.
Replay replay(const Case& c, const std::string& dir, const std::vector<std::string_view>& pieces)
{
    Recorder sink(dir);
    ReceivedFiles received(dir, file_clock_now(), dir);
    std::vector<std::string> names = c.names;
    for (std::string& name : names)
        if (name.starts_with("@/"))
            name.replace(0, 1, dir);
    EventScanner scan(sink, c.sending, names, c.sending ? nullptr : &received);
    for (const auto& [name, size] : c.on_disk) {
        std::remove((dir + "/" + name).c_str());
        write_file(dir + "/" + name, std::string(size, 'x'));
    }
    LogConversion records(std::nullopt, c.sending ? sent_check(names) : [](const TransferLogRecord&) { return true; },
                          &scan);
    for (const std::string_view piece : pieces)
        records.feed(piece);
    records.end();
    EventScanner::Ending ending = c.ending;
    ending.wait_status = c.status;
    scan.finish(ending);
    return {joined(sink.events), joined(sink.completions)};
}

// a.bin of 5000 bytes, as the ZMODEM batches begin.
const std::string a_went = "file a.bin; progress x1 a.bin 1024/5000; ";
const std::string a_done = "a.bin 5000/5000";
const std::string zeros(300, '0');
// Lines of the captures, put together for what no capture shows.
const std::string a_sent = "Sending: a.bin\n\rBytes Sent:   1024/   5000   BPS:237579   ETA 00:00  \r"
                           "Bytes Sent:   5000   BPS:1056393                         \n";

const Case cases[] = {
    // Whole batches: progress and final counts in each form.
    {"z-send.txt", true, {"a.bin", "b.bin"}, exited(0), {0, 0}, {}, a_went + "file b.bin; progress x16 b.bin 19456/20000",
     a_done + "; b.bin 20000/20000"},
    {"z-recv.txt", false, {}, exited(0), {0, 0}, {}, a_went + "file b.bin; progress x3 b.bin 19456/20000",
     a_done + "; b.bin 20000/20000"},
    // Sectors of 128 bytes, but no more than the file holds; the closing
    // empty header is no file.
    {"y-send.txt", true, {"a.bin", "b.bin"}, exited(0), {0, 0}, {},
     "file a.bin; progress x4 a.bin 384; file b.bin; progress x17 b.bin 2048", "a.bin 384; b.bin 2048"},
    {"y-send.txt", true, {"@/a.bin", "@/b.bin"}, exited(0), {}, {{"a.bin", 300}, {"b.bin", 2000}},
     "file a.bin; progress x4 a.bin 300/300; file b.bin; progress x17 b.bin 2000/2000", "a.bin 300/300; b.bin 2000/2000"},
    // Block counts wrap: progress is the copy's size on disk, when there is one.
    {"y-recv.txt", false, {}, exited(0), {0, 0}, {{"a.bin", 300}, {"b.bin", 1000}},
     "file a.bin; progress x3 a.bin 300; file b.bin; progress x16 b.bin 1000", "a.bin 300/300; b.bin 2000/2000"},
    {"y-recv.txt", false, {}, exited(0), {0, 0}, {}, "file a.bin; file b.bin", "a.bin 300/300; b.bin 2000/2000"},
    {"x-send-blocks.txt", true, {"./-x, 3 blocks: y"}, exited(0), {0, 0}, {},
     "file -x, 3 blocks: y; progress x3 -x, 3 blocks: y 256", "-x, 3 blocks: y 384"},
    {"x-recv.txt", false, {}, exited(0), {0, 0}, {{"a.bin", 256}}, "file a.bin; progress x3 a.bin 256", "a.bin 384"},
    // Files left out; the batch goes on.
    {"z-send-missing.txt", true, {"a.bin", "nope", "dir", "b.bin"}, exited(1), {0, 0}, {},
     a_went + "failed nope missing: sz: cannot open nope: No such file or directory; "
              "failed dir error: sz: is not a file: dir; file b.bin; progress x16 b.bin 19456/20000",
     a_done + "; b.bin 20000/20000"},
    {"sz: cannot open locked: Permission denied\n" + a_sent, true, {"locked", "a.bin"}, exited(0), {0, 0}, {},
     "failed locked missing: sz: cannot open locked: Permission denied; " + a_went.substr(0, a_went.size() - 2), a_done},
    // A duplicate rz skips by name, before any header, from a sender that goes on.
    {"file exists, skipped: dup.bin\r\nSkipped\n", false, {}, exited(0), {0, 0}, {},
     "failed dup.bin refused: file exists, skipped: dup.bin", ""},
    {"z-send-skipped.txt", true, {"a.bin", "b.bin"}, exited(0), {0, 0}, {},
     "file a.bin; failed a.bin skipped: sz: skipped: a.bin; file b.bin; progress x12 b.bin 19456/20000",
     "b.bin 20000/20000"},
    {"z-recv-skipped.txt", false, {}, exited(0), {0, 0}, {},
     "file d/; failed d/ skipped: rz: cannot open d/: Is a directory; file " + zeros + "; failed " + zeros +
         " skipped: rz: cannot open " + zeros + ": File name too long; file ok.bin; progress x1 ok.bin 3000/3000",
     "ok.bin 3000/3000"},
    // A refusal ends rz's batch; sz sees a cancel, for the files after too.
    {"z-send-refused.txt", true, {"a.bin", "b.bin"}, exited(128), {0, 0}, {},
     "file a.bin; failed a.bin cancelled: got ZCAN; failed b.bin cancelled: got ZCAN", ""},
    {"z-recv-exists.txt", false, {}, exited(127), {0, 0}, {{"a.bin", 5000}},
     "file a.bin; failed a.bin refused: rz: a.bin exists", ""},
    {"z-recv-hidden.txt", false, {}, exited(127), {0, 0}, {},
     "file .hidden; failed .hidden refused: rz:\tSecurity Violation", ""},
    {"z-recv-dotdot.txt", false, {}, exited(127), {0, 0}, {},
     "file ../a.bin; failed ../a.bin refused: rz:\tSecurity Violation", ""},
    // Stopped by the host (TERM): cancelled; by anyone else, no reason shows.
    {"z-send-stopped.txt", true, {"a.bin", "c.bin"}, exited(143), {0, SIGTERM}, {},
     a_went + "file c.bin; progress x50 c.bin 54272/200000; failed c.bin cancelled: sz: caught signal 15; exiting",
     a_done},
    {"z-send-stopped.txt", true, {"a.bin", "c.bin"}, exited(143), {0, 0}, {},
     a_went + "file c.bin; progress x50 c.bin 54272/200000; failed c.bin error: sz: caught signal 15; exiting",
     a_done},
    {"z-recv-stopped.txt", false, {}, exited(143), {0, SIGTERM}, {{"c.bin", 6144}},
     a_went + "file c.bin; progress x1 c.bin 1024/200000; failed c.bin cancelled: rz: caught signal 15; exiting "
              "[/c.bin 6144]",
     a_done},
    // rz took the copy off the disk: no partial, though one is there now.
    {"z-recv-cancelled.txt", false, {}, exited(128), {0, 0}, {{"c.bin", 100}},
     a_went + "file c.bin; progress x6 c.bin 47104/200000; failed c.bin cancelled: Retry 0: Sender Canceled", a_done},
    // A cut line: sz has a broken pipe; rz times out on it, then has one.
    {"z-send-cut.txt", true, {"a.bin", "c.bin"}, exited(141), {0, 0}, {},
     a_went + "file c.bin; progress x51 c.bin 55296/200000; failed c.bin line: sz: caught signal 13; exiting",
     a_done},
    {"z-recv-cut.txt", false, {}, exited(141), {0, 0}, {{"c.bin", 0}},
     a_went + "file c.bin; progress x1 c.bin 1024/200000; failed c.bin line: rz: caught signal 13; exiting [/c.bin 0]",
     a_done},
    // A broken pipe met on the way out of the host's stop is the stop's.
    {"z-send-cut.txt", true, {"a.bin", "c.bin"}, exited(141), {0, SIGTERM}, {},
     a_went + "file c.bin; progress x51 c.bin 55296/200000; failed c.bin cancelled: sz: caught signal 13; exiting",
     a_done},
    // A hang-up says nothing: how rz ended tells. A file not made during
    // the run is no partial copy.
    {"z-recv-hup.txt", false, {}, killed(SIGHUP), {0, 0}, {{"c.bin", 0}},
     a_went + "file c.bin; progress x1 c.bin 1024/200000; failed c.bin line: Receiving: c.bin [/c.bin 0]", a_done},
    {"z-recv-hup.txt", false, {}, killed(SIGKILL), {0, SIGHUP}, {},
     a_went + "file c.bin; progress x1 c.bin 1024/200000; failed c.bin line: Receiving: c.bin", a_done},
    {"y-send-cut.txt", true, {"a.bin", "b.bin"}, exited(141), {0, 0}, {},
     "file a.bin; progress x41 a.bin 5120; file b.bin; progress x50 b.bin 6272; "
     "failed b.bin line: sz: caught signal 13; exiting",
     "a.bin 5120"},
    {"y-send-cancelled.txt", true, {"a.bin", "b.bin"}, exited(128), {0, 0}, {},
     "file a.bin; progress x41 a.bin 5120; file b.bin; progress x50 b.bin 6272; "
     "failed b.bin cancelled: Retry 0: Cancelled",
     "a.bin 5120"},
    {"y-recv-cut.txt", false, {}, exited(128), {0, 0}, {{"a.bin", 5000}, {"b.bin", 6000}},
     "file a.bin; progress x40 a.bin 5000; file b.bin; progress x48 b.bin 6000; "
     "failed b.bin timeout: Retry 9: TIMEOUT",
     a_done},
    // The relay saw the line go first: a cut line, whatever the command
    // made of it; nothing moved for too long: a timeout.
    {a_sent + "Sending: c.bin\n\rBytes Sent:   1024/ 200000   BPS:237579   ETA 00:00  \nTransfer incomplete\n", true,
     {"a.bin", "c.bin"}, exited(128), {0, 0, std::nullopt, true}, {},
     a_went + "file c.bin; progress x1 c.bin 1024/200000; failed c.bin line: Transfer incomplete", a_done},
    {"z-send-stopped.txt", true, {"a.bin", "c.bin"}, exited(143), {0, 0, FailReason::timeout}, {},
     a_went + "file c.bin; progress x50 c.bin 54272/200000; failed c.bin timeout: sz: caught signal 15; exiting",
     a_done},
    // An upload that failed before its name arrived still fails.
    {"rz: caught signal 13; exiting\n", false, {}, exited(141), {}, {},
     "failed (unnamed) line: rz: caught signal 13; exiting", ""},
    // A silent receiver.
    {"z-send-timeout.txt", true, {"a.bin", "b.bin"}, exited(128), {0, 0}, {},
     a_went + "file b.bin; failed b.bin timeout: Retry 0: Got TIMEOUT", a_done},
    {"z-send-silent.txt", true, {"a.bin", "sub/b.bin"}, exited(128), {0, 0}, {},
     "failed a.bin timeout: Retry 0: Timeout on pathname; failed b.bin timeout: Retry 0: Timeout on pathname", ""},
    // What a transfer got over is no reason later, nor for the files after it.
    {"Receiving: c.bin\n\rBytes received:    1024/ 200000   BPS:2211620 ETA 00:00  Retry 0: TIMEOUT\n"
     "\rBytes received:   10240/ 200000   BPS:20429  ETA 00:09  ",
     false, {}, killed(SIGHUP), {0, 0}, {}, "file c.bin; progress x2 c.bin 10240/200000; failed c.bin line: Retry 0: TIMEOUT",
     ""},
    {"Retry 0: Timeout on pathname\n" + a_sent + "sz: caught signal 15; exiting\n", true, {"a.bin", "b.bin"},
     exited(143), {0, SIGTERM}, {}, a_went + "failed b.bin cancelled: sz: caught signal 15; exiting", a_done},
    // The same name twice: a completion is the earlier one's.
    {a_sent + "Sending: a.bin\n\rBytes Sent:   1024/   5000   BPS:237579   ETA 00:00  ", true, {"a.bin", "a.bin"},
     exited(143), {0, SIGTERM}, {}, a_went + a_went + "failed a.bin cancelled: Sending: a.bin", a_done},
    // Names with line ends and the words of failures: a CR is part of the
    // name, an LF ends it; the words after it pass once the file goes on.
    {"z-recv-names.txt", false, {}, exited(0), {0, 0}, {},
     "file a\rRetry 0: Sender Canceled\rb; progress x1 a\rRetry 0: Sender Canceled\rb 3000/3000; file c; "
     "progress x1 c 3000/3000; file ok.bin; progress x1 ok.bin 3000/3000",
     "a\rRetry 0: Sender Canceled\rb 3000/3000; c 3000/3000; ok.bin 3000/3000"},
    // A given name that holds a line feed: sz's header ends there, the name
    // tells the rest; done, with no record, and no failure made up.
    {"Sending: a\nb\n\rBytes Sent:      5   BPS:489                             \n\r\nTransfer complete\n", true,
     {"a\nb"}, exited(0), {0, 0}, {}, "file a\nb", "a\nb 5"},
    {"Sending: a\nb\rc\n\rBytes Sent:      5   BPS:489     \nsz: caught signal 15; exiting\n", true,
     {"a\nb\rc", "a"}, exited(143), {0, 0}, {}, "file a\nb\rc; failed a error: sz: caught signal 15; exiting",
     "a\nb\rc 5"},
    // The rest of such a name is no word of the command's.
    {"Sending: a\nsz: skipped: a\n\rBytes Sent:      5   BPS:489     \n", true, {"a\nsz: skipped: a"}, exited(0), {},
     {}, "file a\nsz: skipped: a", "a\nsz: skipped: a 5"},
};

TEST(EventScan, CapturedStreamsGiveTheirEventsHoweverCut)
{
    const TimeLimit limit(60);
    for (const Case& c : cases) {
        const std::string text =
            c.stream.ends_with(".txt") ? read_file(std::string(VEK_TEST_DATA) + "/" + c.stream) : c.stream;
        const TempDir dir;
        const Replay whole = replay(c, dir.path(), {text});
        EXPECT_EQ(whole.events, c.events) << c.stream;
        EXPECT_EQ(whole.done, c.done) << c.stream;
        std::vector<std::string_view> bytes;
        for (size_t i = 0; i < text.size(); ++i)
            bytes.push_back(std::string_view(text).substr(i, 1));
        EXPECT_EQ(replay(c, dir.path(), bytes), whole) << c.stream << " a byte at a time";
        for (size_t cut = 1; cut < text.size(); ++cut) {
            const std::string_view t(text);
            if (replay(c, dir.path(), {t.substr(0, cut), t.substr(cut)}) != whole) {
                ADD_FAILURE() << c.stream << " cut at " << cut;
                break;
            }
        }
    }
}

// Each event of a send names the file's place among the names given, so
// that two files of one name are told apart.
TEST(EventScan, SendsTellEachFileItsPlace)
{
    const std::string sent = "Sending: a\n\rBytes Sent:      5   BPS:489     \n";
    const Case c{sent + "sz: cannot open nope: No such file or directory\n" + sent, true, {"x/a", "nope", "y/a"},
                 exited(1), {}, {}, "", ""};
    const TempDir dir;
    Recorder sink(dir.path());
    EventScanner scan(sink, true, c.names, nullptr);
    LogConversion records(std::nullopt, sent_check(c.names), &scan);
    records.feed(c.stream);
    records.end();
    scan.finish({c.status});
    using I = std::optional<size_t>;
    EXPECT_EQ(sink.indexes, (std::vector<I>{0, 0, 1, 2, 2}));  // file, done; failed; file, done
}

// A line is kept up to a bound; the stream goes on after it.
TEST(EventScan, LongLinesAreCut)
{
    const Case c{std::string(1 << 20, 'x') + "\rReceiving: a.bin\n" + std::string(1 << 20, 'y'), false, {},
                 exited(0), {0, 0}, {}, "", ""};
    const TempDir dir;
    EXPECT_EQ(replay(c, dir.path(), {c.stream}).events,
              "file a.bin; failed a.bin error: " + std::string(max_header, 'y'));
}

}  // namespace
