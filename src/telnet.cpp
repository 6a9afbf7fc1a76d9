#include "telnet.h"

#include <cstring>

namespace {

constexpr unsigned char IAC = 255;
constexpr unsigned char SE = 240;
constexpr unsigned char SB = 250;
constexpr unsigned char WILL = 251;  // WILL, WONT, DO, DONT: 251 to 254, each with one option byte

}  // namespace

size_t TelnetDecoder::decode(std::span<const char> in, std::span<char> out)
{
    const char* p = in.data();
    const char* const end = p + in.size();
    char* o = out.data();
    while (p < end) {
        if (state_ == State::data) {
            // Plain data runs between commands are moved whole.
            const void* iac = std::memchr(p, IAC, static_cast<size_t>(end - p));
            const char* stop = iac ? static_cast<const char*>(iac) : end;
            std::memmove(o, p, static_cast<size_t>(stop - p));
            o += stop - p;
            p = stop;
            if (p == end)
                break;
            ++p;
            state_ = State::command;
            continue;
        }
        const auto c = static_cast<unsigned char>(*p++);
        switch (state_) {
        case State::command:
            if (c == IAC) {
                *o++ = static_cast<char>(IAC);
                state_ = State::data;
            } else if (c == SB) {
                state_ = State::sub;
            } else if (c >= WILL) {
                state_ = State::option;
            } else {
                state_ = State::data;  // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA, a stray SE
            }
            break;
        case State::option:
            state_ = State::data;
            break;
        case State::sub:
            if (c == IAC)
                state_ = State::sub_command;
            break;
        case State::sub_command:
            if (c == SE) {
                state_ = State::data;
            } else if (c == IAC) {
                state_ = State::sub;
            } else {
                // A subnegotiation that never got its IAC SE: take it as ended
                // there, so that a client's slip cannot swallow the data after
                // it, and the pair as the command it is.
                state_ = State::command;
                --p;
            }
            break;
        case State::data:
            break;
        }
    }
    return static_cast<size_t>(o - out.data());
}

size_t telnet_encode(std::span<const char> in, std::span<char> out)
{
    const char* p = in.data();
    const char* const end = p + in.size();
    char* o = out.data();
    while (p < end) {
        const void* iac = std::memchr(p, IAC, static_cast<size_t>(end - p));
        const char* stop = iac ? static_cast<const char*>(iac) + 1 : end;
        std::memcpy(o, p, static_cast<size_t>(stop - p));
        o += stop - p;
        p = stop;
        if (iac)
            *o++ = static_cast<char>(IAC);
    }
    return static_cast<size_t>(o - out.data());
}
