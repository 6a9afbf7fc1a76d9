// What happens to each file of a run, as the event scanner tells it and the
// event stream writes it.
#pragma once

#include <cstdint>
#include <optional>
#include <cstddef>
#include <string>

// skipped: the terminal, or rz, passed the file over. refused: rz would not
// write it (it exists, or its name is not allowed). cancelled: a cancel, the
// other side's or the host's stop. line: a broken pipe or a hang-up.
// timeout: no answer came (lrzsz says so too when its input is closed).
// missing: sz could not open a file (absent, or not readable). error:
// anything else.
enum class FailReason { skipped, refused, cancelled, line, timeout, missing, error };
inline const char* reason_word(FailReason reason)  // "skipped", "refused", ...
{
    static const char* const words[] = {"skipped", "refused", "cancelled", "line", "timeout", "missing", "error"};
    return words[static_cast<int>(reason)];
}

struct FileFacts {
    std::string name;              // as given to sz, or as rz's stream names it
    std::optional<size_t> index;   // a send's: the name's place among those given
    std::optional<uint64_t> size;  // when the stream gives it
    uint64_t bytes = 0;            // moved so far (the final count once complete)
    uint64_t bps = 0;              // the last rate the stream gave
    bool unnamed = false;          // a receive that failed before any name arrived
};

// A copy that a failed receive left on disk, and its size there.
struct Partial {
    std::string path;
    uint64_t bytes = 0;
};

// Where what happens to each file goes: the event stream.
class FileSink {
public:
    virtual void file(const FileFacts& f) = 0;      // the command announced it
    virtual void progress(const FileFacts& f) = 0;  // a progress line for it (every one)
    // Complete; `record`: its line in the transfer log, null when none was written.
    virtual void done(const FileFacts& f, const std::string* record) = 0;
    virtual void failed(const FileFacts& f, FailReason why, const std::string& message,
                        const std::optional<Partial>& partial) = 0;

protected:
    ~FileSink() = default;
};
