#include "chunkreader.h"

#include <algorithm>
#include <cstring>

ChunkReader::ChunkReader(size_t capacity)
    : capacity_(std::max(capacity, 4 * max_chunk)), buf_(std::make_unique_for_overwrite<char[]>(capacity_))
{
}

std::span<char> ChunkReader::space()
{
    if (start_ > 0) {
        // Shorter than a chunk, or next() would have handed it out.
        std::memmove(buf_.get(), buf_.get() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
        resync();
    }
    return {buf_.get() + end_, capacity_ - end_};
}

void ChunkReader::commit(size_t n)
{
    end_ += std::min(n, capacity_ - end_);
    resync();
}

void ChunkReader::resync()
{
    base_ = start_ & ~size_t{63};
    next_block_ = base_ + 64;
    // A block not yet read whole has no candidates here; next() then finds
    // no whole block after it either and hands its bytes to readchunk.
    pending_ = next_block_ <= end_
                   ? bytescan::stop_candidates64(buf_.get() + base_) & (~uint64_t{0} << (start_ - base_))
                   : 0;
}

std::optional<ChunkCut> ChunkReader::next_exact()
{
    ChunkCut cut = readchunk({buf_.get() + start_, end_ - start_});
    if (!cut.complete)
        return std::nullopt;
    start_ += cut.consumed;
    resync();
    return cut;
}
