// The bottom of the temporary-log scan: how a byte stream is cut into the
// chunks that the scanner examines, and how a chunk's text is trimmed.
#pragma once

#include <cstddef>
#include <string_view>

// The longest chunk the scanner looks at; longer lines go on in the next chunk.
inline constexpr size_t max_chunk = 255;

// Where the next chunk of a byte stream ends.
struct ChunkCut {
    std::string_view text;  // the chunk as stored: without its CR or LF, NUL bytes kept
    size_t consumed;        // bytes taken from the input, the ending CR or LF included
    bool complete;          // false: the input ran out before the chunk ended
    bool has_nul;           // the text that the scanner sees ends before the chunk does
};

// Cuts the chunk at the front of `in`: a CR or an LF ends it and is consumed
// without being stored; after `maxlen` bytes it ends too, and the byte after
// them is left for the next chunk (`maxlen` must not be 0). An incomplete cut
// at the end of the stream is the chunk during which the end was met.
ChunkCut readchunk(std::string_view in, size_t maxlen = max_chunk);

// The text of a stored chunk as a C string sees it: up to its first NUL.
std::string_view chunk_text(std::string_view chunk);

// `str` without the white space (space, tab, LF, VT, FF, CR) at its end,
// except that its first character always stays.
std::string_view rstrip(std::string_view str);
