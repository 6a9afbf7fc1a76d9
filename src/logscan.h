// The decisions of the temporary-log scan, apart from any file: which chunks
// are file headers and byte counts, what they hold, and when a record is due.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bytescan.h"
#include "chunk.h"
#include "chunkreader.h"
#include "logrecord.h"

// Rates above this (as unsigned, so negative ones too) are written as this.
inline constexpr uint32_t max_cps = 9999;

// Reads `text` as glibc's sscanf(text, "Bytes Sent: %d BPS:%d", &bytes, &bps)
// does: a blank in the pattern matches any run of white space, none included;
// %d skips white space and takes an optionally signed decimal, converted as a
// saturating 64-bit long and then cut to its low 32 bits. Matching stops at
// the first mismatch; fields before it are assigned, later ones keep their
// values. Returns the number of fields assigned.
int parse_byte_count(std::string_view text, uint32_t& bytes, uint32_t& bps);

// A header longer than this is no name of a file (a name has at most 255
// bytes); what goes beyond it is not kept, so memory stays bounded.
inline constexpr size_t max_header = 8192;

// Scanner state for one diagnostic stream. Chunks go in as read; records come out.
class LogScanner {
public:
    // Examines one chunk as cut by readchunk (it applies chunk_text and rstrip
    // itself). Returns the record that this chunk completes, if any. A header
    // is no byte count; a header line longer than one chunk goes on into the
    // pieces that follow it, up to its line end, and they are its name, not
    // chunks of their own.
    // (By value: a reference would keep every chunk's cut in memory in the
    // hot loop that passes most of them over.)
    std::optional<TransferLogRecord> examine(ChunkCut cut);

    // Whether the next chunk is the rest of a header's line.
    bool continuing() const { return continuing_; }

    // A quick test that passes most progress chunks: true only for a chunk
    // without NUL bytes that examine() would pass over in any state but
    // continuing() (where every piece is part of a name), because
    // it cannot be a header and holds "ETA" (near its end, where the real
    // commands put it), so it is no byte count either.
    static bool inert(std::string_view chunk);

private:
    enum { NONE = 0, SEND = 1, RECEIVE = 2 };
    int action_ = NONE;
    std::string file_;
    uint32_t bytes_xfer_ = 0;  // parsed for fidelity; no record shows it
    uint32_t bps_ = 0;
    int done_ = 0;  // 1 after a header, plus 1 per byte-count chunk; 2 writes a record
    bool continuing_ = false;  // the header's line goes on in the next chunk
    bool name_ended_ = false;  // a NUL ended the header's text as a C string sees it
    size_t prefix_ = 0;        // bytes before the name in the header's line
    std::string header_;       // the header's line so far, while it goes on
};

inline bool LogScanner::inert(std::string_view chunk)
{
    constexpr std::string_view eta = "ETA";
    constexpr size_t tail = 16 + eta.size() - 1;
    if (chunk.size() < tail)
        return false;
    const char first = static_cast<char>(chunk[0] | 0x20);  // folds S and R only onto s and r
    if (first == 's' || first == 'r')
        return false;
    return bytescan::starts_in16(chunk.data() + chunk.size() - tail, eta);
}

// Examines every complete chunk that `reader` holds.
template <class Emit>
void scan_chunks(ChunkReader& reader, LogScanner& scanner, Emit&& emit)
{
    // The rest of a long header's line is its name, whatever it holds, so
    // nothing is passed over while it goes on.
    while (std::optional<ChunkCut> cut = scanner.continuing() ? reader.next() : reader.next(LogScanner::inert)) {
        if (std::optional<TransferLogRecord> rec = scanner.examine(*cut))
            emit(*rec);
    }
}

// Runs a whole diagnostic stream through a ChunkReader and a LogScanner, apart
// from where the bytes come from and where the records go. `fill(span)` stores
// bytes at the front of the span and returns how many: 0 at the end of the
// log, negative on a read error. `emit(record)` takes each record as it is
// completed. Returns false after a read error; records emitted before it stand.
template <class Fill, class Emit>
bool scan_log(Fill&& fill, Emit&& emit, size_t capacity = ChunkReader::default_capacity)
{
    ChunkReader reader(capacity);
    LogScanner scanner;
    for (;;) {
        scan_chunks(reader, scanner, emit);
        const long n = fill(reader.space());
        if (n == 0)
            return true;
        if (n < 0)
            return false;
        reader.commit(static_cast<size_t>(n));
    }
}
