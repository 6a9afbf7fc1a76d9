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

// The stream is cut into chunks: a CR or an LF ends one and is dropped, and
// so does the max_chunk-th byte, the line going on in the next chunk. A
// chunk's text is what a C string sees of it (up to a NUL), without white
// space at its end. A header starts a record, the next byte-count chunk
// completes it; its name runs to the LF that ends its line, CRs included.
// The chunk during which the stream ends is never examined.
class LogScanner {
public:
    using Emit = std::function<void(const TransferLogRecord&)>;
    explicit LogScanner(Emit emit) : emit_(std::move(emit)) {}

    // The next bytes of the stream, in pieces of any size; `emit` gets each
    // record that they complete, in order.
    void feed(std::string_view bytes);

private:
    // `ended_by` is the CR or LF that ended the chunk, or 0 when it is full.
    void examine(char ended_by);
    // A chunk that is no header: the final byte count completes a record.
    void count_bytes(std::string_view text);

    Emit emit_;
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
