// The TELNET layer of a connection in BINARY mode, as pure byte work: what
// the user's client sends is freed of commands and of the doubled 0xFF, and
// what goes back to it has every 0xFF doubled, so that no data byte is taken
// for a command. No I/O here; the relay (relay.h) does that.
#pragma once

#include <cstddef>
#include <span>

// Takes the data out of a connection's byte stream. Every command is removed,
// none is answered: IAC IAC is one 0xFF; IAC WILL/WONT/DO/DONT takes its
// option byte along; IAC SB ... IAC SE goes whole (an IAC IAC inside it is
// part of it); any other IAC pair goes. A sequence may be cut between two
// calls anywhere: the state carries over.
class TelnetDecoder {
public:
    // Writes the data bytes of `in` to `out`, which must hold in.size() bytes
    // and may be `in` itself (decoding in place). Returns how many it wrote.
    size_t decode(std::span<const char> in, std::span<char> out);

private:
    enum class State { data, command, option, sub, sub_command };
    State state_ = State::data;
};

// Writes `in` to `out` with every 0xFF doubled. `out` must hold twice
// in.size() bytes. Returns how many it wrote.
size_t telnet_encode(std::span<const char> in, std::span<char> out);
