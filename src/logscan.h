// Reads a transfer command's diagnostic stream as it arrives and says when a
// file is complete: the header and byte-count lines that sz and rz write.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "logrecord.h"

// Rates above this (as unsigned, so negative ones too) are written as this.
inline constexpr uint32_t max_cps = 9999;

// The longest chunk examined; a longer line goes on in the next chunk.
inline constexpr size_t max_chunk = 255;

// A header longer than this is no name of a file (a name has at most 255
// bytes); what goes beyond it is not kept, so memory stays bounded.
inline constexpr size_t max_header = 8192;

// Whoever follows the stream beside the records (the events) hears from the
// record scanner what it read, so that the two never disagree on what a
// header is or when a file is complete.
class ScanListener {
public:
    // A header's line ended (`line`, without white space at its end): the
    // next record names `name`.
    virtual void header(std::string_view line, const std::string& name) = 0;
    // A line that is no header (progress, a final count, the command's own
    // words), cut at a CR or LF, which it does not hold, and kept up to
    // max_header bytes. A final count comes before the record it completes.
    virtual void line(std::string_view text) = 0;
    // The record that the last header and a final count made: `written` is
    // its line in the transfer log (without the line end), null when none
    // was written; `believed`, whether it names a file this run moved.
    virtual void completed(const TransferLogRecord& rec, const std::string* written, bool believed) = 0;

protected:
    ~ScanListener() = default;
};

// The stream is cut into chunks: a CR or an LF ends one and is dropped, and
// so does the max_chunk-th byte, the line going on in the next chunk. A
// chunk's text is what a C string sees of it (up to a NUL), without white
// space at its end. A header starts a record, the next byte-count chunk
// completes it; its name runs to the LF that ends its line, CRs included.
// The chunk during which the stream ends is never examined.
class LogScanner {
public:
    using Emit = std::function<void(const TransferLogRecord&)>;
    explicit LogScanner(Emit emit, ScanListener* listener = nullptr) : emit_(std::move(emit)), listener_(listener) {}

    // The next bytes of the stream, in pieces of any size; `emit` gets each
    // record that they complete, in order.
    void feed(std::string_view bytes);
    // The stream has ended: the listener hears a last line that lacks its
    // line end (no record is made of it).
    void end();

private:
    // `ended_by` is the CR or LF that ended the chunk, or 0 when it is full.
    void examine(char ended_by);
    // A chunk that is no header: the final byte count completes a record.
    void count_bytes(std::string_view text);

    // Gives the listener the chunk as part of a line that is no header.
    void tell_line(char ended_by);

    Emit emit_;
    ScanListener* listener_;
    std::string line_;   // for the listener: a line that is no header, so far
    std::string chunk_;  // the chunk being cut, at most max_chunk bytes
    enum { NONE = 0, SEND = 1, RECEIVE = 2 };
    int action_ = NONE;
    std::string file_;
    int bytes_xfer_ = 0;  // read as the rate is; no record shows it
    int bps_ = 0;
    int done_ = 0;             // 1 after a header, plus 1 per byte-count chunk; 2 writes a record
    bool continuing_ = false;  // the header's line goes on in the next chunk
    bool name_ended_ = false;  // a NUL ended the header's text
    size_t prefix_ = 0;        // bytes before the name in the header's line
    std::string header_;       // the header's line so far, up to a NUL and at most max_header bytes
};
