// Byte searches for the temporary-log scanner, sixteen bytes at a time where
// the machine allows: the scanner looks at every byte of logs of hundreds of
// megabytes, and per-byte loops would cost several times the reading itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bytescan {

// The C library's white space in the default locale.
inline bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline bool is_stop(char c) { return c == '\r' || c == '\n' || c == '\0'; }

#if defined(__SSE2__)
inline __m128i load16(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

inline unsigned bits(__m128i m) { return static_cast<unsigned>(_mm_movemask_epi8(m)); }

// Bit i set when byte i of the 16 at p is a candidate for CR, LF or NUL: any
// byte below 14 or above 127, a superset that takes one compare and is exact
// on ASCII text.
inline unsigned stop_candidates16(const char* p)
{
    return bits(_mm_cmplt_epi8(load16(p), _mm_set1_epi8(14)));
}
#endif

// The same for the 64 bytes at p.
inline uint64_t stop_candidates64(const char* p)
{
#if defined(__SSE2__)
    auto at = [p](int i) { return uint64_t{stop_candidates16(p + i)}; };
    return at(0) | at(16) << 16 | at(32) << 32 | at(48) << 48;
#else
    uint64_t m = 0;
    for (int i = 0; i < 64; ++i)
        m |= uint64_t{static_cast<signed char>(p[i]) < 14} << i;
    return m;
#endif
}

// Position of the first CR, LF or NUL in p[0..n), or n. Reads no byte
// outside that range.
inline size_t find_stop(const char* p, size_t n)
{
    size_t i = 0;
#if defined(__SSE2__)
    auto first = [p, n](unsigned m, size_t base) -> size_t {
        for (; m; m &= m - 1)
            if (size_t at = base + static_cast<size_t>(__builtin_ctz(m)); is_stop(p[at]))
                return at;
        return n;
    };
    if (n >= 16) {
        for (; i + 16 <= n; i += 16)
            if (size_t at = first(stop_candidates16(p + i), i); at != n)
                return at;
        if (i == n)
            return n;
        // The last block overlaps bytes already seen; their bits are dropped.
        const size_t last = n - 16;
        return first(stop_candidates16(p + last) >> (i - last) << (i - last), last);
    }
#endif
    for (; i < n; ++i)
        if (is_stop(p[i]))
            return i;
    return n;
}

// Whether `needle` starts at one of p[0..16); reads p[0..15 + needle.size()).
// No loop over candidates: one compare per needle byte.
inline bool starts_in16(const char* p, std::string_view needle)
{
#if defined(__SSE2__)
    __m128i all = _mm_set1_epi8(-1);
    for (size_t j = 0; j < needle.size(); ++j)
        all = _mm_and_si128(all, _mm_cmpeq_epi8(load16(p + j), _mm_set1_epi8(needle[j])));
    return bits(all) != 0;
#else
    for (size_t i = 0; i < 16; ++i)
        if (std::string_view(p + i, needle.size()) == needle)
            return true;
    return false;
#endif
}

}  // namespace bytescan
