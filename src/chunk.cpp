#include "chunk.h"

#include <algorithm>

#include "bytescan.h"

ChunkCut readchunk(std::string_view in, size_t maxlen)
{
    const size_t window = std::min(in.size(), maxlen);
    const char* p = in.data();
    bool nul = false;
    for (size_t i = 0;; ++i) {
        i += bytescan::find_stop(p + i, window - i);
        if (i == window)
            break;
        if (p[i] != '\0')
            return {in.substr(0, i), i + 1, true, nul};
        nul = true;
    }
    if (window == maxlen)
        return {in.substr(0, maxlen), maxlen, true, nul};
    return {in, in.size(), false, nul};
}

std::string_view chunk_text(std::string_view chunk)
{
    return chunk.substr(0, chunk.find('\0'));
}

std::string_view rstrip(std::string_view str)
{
    size_t n = str.size();
    while (n > 1 && bytescan::is_space(str[n - 1]))
        --n;
    return str.substr(0, n);
}
