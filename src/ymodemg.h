// Makes rz, which receives YMODEM asking with C and answering every block,
// the receiver that a YMODEM-G sender (a web terminal that speaks nothing
// else) expects: asked with G, no answer to a block while the data streams,
// the end of each file and of the batch acknowledged. rz reads a block, then
// drops whatever came after it before it answers, so the blocks that stream
// in are held here and handed to rz one at a time, each once rz has answered
// the one before. The relay brings the bytes and carries them on; this
// decides, and does no I/O.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <string_view>

class StreamingReceive {
public:
    // The sender's bytes (after any TELNET decoding), to be held.
    void from_sender(std::string_view bytes);
    // What rz may be given now: the next block once the one before was
    // answered, or bytes between blocks; empty when nothing may go yet.
    std::string next_for_command();
    // Bytes held back from rz.
    size_t held() const;
    // rz's answers, as the sender is to have them. rz asking for a block
    // again (NAK) cannot be granted, since the sender does not repeat one:
    // the sender is cancelled instead, and repeat_asked() says so.
    std::string to_sender(std::string_view bytes);
    bool repeat_asked() const;

private:
    enum class Piece { header, last_header, data, end_of_file, loose };
    struct Held {
        std::string bytes;
        Piece piece;
    };
    void cut_pieces();  // takes whole blocks (and what lies between them) off `incoming_`

    mutable std::mutex mutex_;  // the relay's two directions call in
    std::string incoming_;      // from the sender, not yet a whole block
    std::deque<Held> ready_;    // whole, in order, not yet given to rz
    size_t held_ = 0;           // bytes in incoming_ and ready_
    bool answer_due_ = false;   // rz was given a block and has not answered it
    Piece given_ = Piece::loose;  // the block rz was given last
    bool expect_header_ = true;   // at the start of the batch, and after each file
    bool bad_block_ = false;
};
