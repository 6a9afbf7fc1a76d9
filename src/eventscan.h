// What a transfer command's diagnostic stream says of each file beyond the
// records: that it was announced, how far it got, and why it failed, in the
// command's own words, for the events a host may ask for.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class FailReason { skipped, refused, cancelled, line, timeout, missing, error };
const char* reason_word(FailReason why);

struct FileFacts {
    std::string name;              // as a record would carry it
    std::optional<uint64_t> size;  // when the stream gives it
    uint64_t bytes = 0;            // moved so far; the final count once complete
    uint64_t bps = 0;              // the last rate the stream gave
};

class EventScanner {
public:
    struct Sink {
        std::function<void(const FileFacts&)> file;
        std::function<void(const FileFacts&)> progress;
        std::function<void(const FileFacts&, FailReason, const std::string& message, const std::string& partial)>
            failed;
    };
    // `sending`: sz rather than rz. `names`: what a send was given, so that a
    // file never announced is still accounted for. `dir`: where rz writes
    // (absolute), to find a copy left on disk.
    EventScanner(Sink sink, bool sending, const std::vector<std::string>& names, std::string dir);

    // The stream in pieces of any size.
    void feed(std::string_view bytes);
    // The last file so named, for its completion; null when none.
    const FileFacts* facts(const std::string& name) const;
    // That file is complete: no failure is said of it.
    void completed(const std::string& name);
    // Once the command has ended: each file that started or was named and
    // neither completed nor failed is said to have failed, for the reason the
    // stream gave, or that its ending gives; `error` with the command's last
    // words when neither tells. A receive's failures are said here, when what
    // rz left on disk is known.
    void finish(int wait_status, int stop_signal);

private:
    struct File {
        FileFacts facts;
        bool over = false;  // completed, or said to have failed
    };
    void line(std::string_view text);
    File* announce(const std::string& name, std::optional<uint64_t> size);
    void fail(File& f, FailReason why, const std::string& message);
    void take_progress(bool say);

    Sink sink_;
    bool sending_;
    std::string dir_;
    std::map<std::string, File> files_;  // by name
    std::vector<std::string> order_;     // names as given or announced
    File* current_ = nullptr;
    std::optional<FailReason> batch_reason_;  // what ended the batch, when the stream said
    std::string batch_message_;
    struct Held {
        FileFacts facts;
        FailReason why;
        std::string message;
    };
    std::vector<Held> held_;  // a receive's failures, said once rz has ended
    std::string pending_;     // the line being cut
    std::string last_words_;
    std::string progress_line_;  // the last progress line not yet read
    double last_progress_ = -1;
};
