// Holds what has been read of a diagnostic stream and hands it out as chunks, so
// that the reading loop copies nothing but the one unfinished chunk at a refill
// and needs the same memory whatever the log's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "bytescan.h"
#include "chunk.h"

class ChunkReader {
public:
    static constexpr size_t default_capacity = size_t{256} * 1024;

    // `capacity` is raised to leave room for reads beside an unfinished chunk.
    explicit ChunkReader(size_t capacity = default_capacity);

    // Where the next read goes; never empty. Moves the unfinished chunk, if
    // any, to the front first.
    std::span<char> space();
    // `n` bytes were stored at the front of space().
    void commit(size_t n);

    // The next complete chunk, cut exactly as readchunk(..., max_chunk) cuts
    // it, or nothing when the bytes held end inside a chunk. At the end of the
    // stream those bytes are the chunk during which the end was met, which is
    // never examined, so the caller simply stops. Chunks without NUL bytes for
    // which `skip(text)` holds are passed over on the way: most chunks are,
    // and this loop keeps its state in registers while the caller's would not.
    //
    // Candidates for CR, LF and NUL are found for whole 64-byte blocks at a
    // time, apart from where the chunks fall: a search chunk by chunk would
    // make each wait for the one before. Chunks with a NUL, chunks of
    // max_chunk bytes and the last bytes held (less than a block) go through
    // readchunk itself.
    template <class Skip>
    std::optional<ChunkCut> next(Skip&& skip)
    {
        for (;;) {
            while (pending_ == 0) {
                if (next_block_ + 64 > end_ || next_block_ - start_ >= max_chunk) {
                    if (std::optional<ChunkCut> cut = next_exact(); handed_out(cut, skip))
                        return cut;
                    continue;
                }
                pending_ = bytescan::stop_candidates64(buf_.get() + next_block_);
                base_ = next_block_;
                next_block_ += 64;
            }
            const size_t at = base_ + static_cast<size_t>(__builtin_ctzll(pending_));
            pending_ &= pending_ - 1;
            const char c = buf_[at];
            if (c == '\r' || c == '\n') {
                const size_t len = at - start_;
                if (len >= max_chunk) {
                    if (std::optional<ChunkCut> cut = next_exact(); handed_out(cut, skip))
                        return cut;
                    continue;
                }
                const std::string_view text(buf_.get() + start_, len);
                start_ = at + 1;
                if (!skip(text))
                    return ChunkCut{text, len + 1, true, false};
                continue;
            }
            if (c == '\0') {
                if (std::optional<ChunkCut> cut = next_exact(); handed_out(cut, skip))
                    return cut;
            }
        }
    }
    std::optional<ChunkCut> next()
    {
        return next([](std::string_view) { return false; });
    }

private:
    std::optional<ChunkCut> next_exact();
    // Whether what next_exact() gave is for the caller (no chunk, or one to look at).
    template <class Skip>
    static bool handed_out(const std::optional<ChunkCut>& cut, Skip& skip)
    {
        return !cut || cut->has_nul || !skip(cut->text);
    }
    // Points the block search at start_.
    void resync();

    // Not zero-filled: only bytes read are ever looked at, and a run should
    // not fault in pages it may never use.
    size_t capacity_;
    std::unique_ptr<char[]> buf_;
    size_t start_ = 0;       // first byte not yet handed out
    size_t end_ = 0;         // one past the last byte read
    size_t base_ = 0;        // the block whose candidates are pending
    size_t next_block_ = 0;  // the block to search after it
    uint64_t pending_ = 0;   // candidates in the block at base_, none before start_
};
