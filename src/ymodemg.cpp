#include "ymodemg.h"

namespace {

constexpr char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
constexpr size_t framing = 5;  // the type, the block number and its complement, the CRC

}  // namespace

void StreamingReceive::from_sender(std::string_view bytes)
{
    const std::lock_guard guard(mutex_);
    incoming_.append(bytes);
    held_ += bytes.size();
    cut_pieces();
}

void StreamingReceive::cut_pieces()
{
    size_t at = 0;
    while (at < incoming_.size()) {
        const char c = incoming_[at];
        if (c == SOH || c == STX) {
            const size_t size = (c == SOH ? 128 : 1024) + framing;
            if (incoming_.size() - at < size)
                break;
            // A header whose name is empty ends the batch.
            const Piece piece = !expect_header_ ? Piece::data : incoming_[at + 3] != '\0' ? Piece::header : Piece::last_header;
            expect_header_ = false;
            ready_.push_back({incoming_.substr(at, size), piece});
            at += size;
        } else {
            if (c == EOT)
                expect_header_ = true;
            ready_.push_back({std::string(1, c), c == EOT ? Piece::end_of_file : Piece::loose});
            ++at;
        }
    }
    incoming_.erase(0, at);
}

std::string StreamingReceive::next_for_command()
{
    const std::lock_guard guard(mutex_);
    std::string out;
    // Bytes between blocks (a CAN among them) go at once; a block waits for
    // the answer to the one before.
    while (!ready_.empty() && (ready_.front().piece == Piece::loose || !answer_due_)) {
        Held& next = ready_.front();
        if (next.piece != Piece::loose) {
            answer_due_ = true;
            given_ = next.piece;
        }
        out += next.bytes;
        held_ -= next.bytes.size();
        ready_.pop_front();
    }
    return out;
}

size_t StreamingReceive::held() const
{
    const std::lock_guard guard(mutex_);
    return held_;
}

std::string StreamingReceive::to_sender(std::string_view bytes)
{
    const std::lock_guard guard(mutex_);
    std::string out;
    for (const char c : bytes) {
        const bool answers = (c == ACK || c == NAK) && answer_due_;
        answer_due_ = answer_due_ && !answers;
        if (c == 'C' || (c == NAK && !answers)) {
            out += 'G';  // asking for a header, or for the data that follows it
        } else if (c == NAK) {
            bad_block_ = true;
            out.append(5, CAN);
        } else if (c != ACK || !answers || given_ == Piece::end_of_file || given_ == Piece::last_header) {
            out += c;  // the answer to the end of a file or of the batch, and all else rz says
        }
    }
    return out;
}

bool StreamingReceive::repeat_asked() const
{
    const std::lock_guard guard(mutex_);
    return bad_block_;
}
