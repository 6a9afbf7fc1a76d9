// Feeds arbitrary bytes to the TELNET layer. Data encoded and decoded comes
// back exactly, however the coded stream is cut; and the raw bytes decode
// the same whole and in pieces, to no more bytes than came in.
#include <cstdint>
#include <string>
#include <string_view>

#include "telnet.h"

namespace {

std::string decode(std::string_view in, size_t step)
{
    TelnetDecoder d;
    std::string out;
    for (size_t at = 0; at < in.size(); at += step) {
        std::string piece(in.substr(at, step));
        piece.resize(d.decode(piece, piece));
        out += piece;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    std::string coded(2 * size, '\0');
    coded.resize(telnet_encode(in, coded));
    const size_t step = size ? 1 + data[0] % 61 : 1;
    if (decode(coded, coded.size() + 1) != in || decode(coded, step) != in)
        __builtin_trap();
    const std::string whole = decode(in, size + 1);
    if (whole.size() > size || decode(in, step) != whole)
        __builtin_trap();
    return 0;
}
