// Stands between the line the host handed us and a command that must not
// meet it directly: the command gets a private pipe as its standard input
// and another as its standard output, and the relay moves the bytes between
// those and the line. On a TELNET connection it takes the commands out of
// what comes in and doubles each 0xFF going out (telnet.h). On a terminal it
// keeps the line raw while the command runs and puts it back as found,
// without the flush with which sz and rz would discard what the terminal has
// not read yet.
#pragma once

#include <termios.h>

#include <atomic>
#include <thread>

#include "signals.h"
#include "telnet.h"
#include "ymodemg.h"
#include "unique_fd.h"

// One direction of the line, read or written without ever blocking, whatever
// flags the host set on its descriptor (which it shares): a socket with
// MSG_DONTWAIT; a pipe or terminal through a description of our own, opened
// non-blocking; where that cannot be had (a terminal of another user, no
// /proc), the host's, made non-blocking until let_go() puts its flags back.
class LineEnd {
public:
    LineEnd(int fd, int mode);
    ~LineEnd() { let_go(); }
    LineEnd(const LineEnd&) = delete;
    LineEnd& operator=(const LineEnd&) = delete;
    int fd() const { return own_ ? own_.get() : fd_; }
    ssize_t pull(char* buf, size_t size);  // read, never blocking
    ssize_t push(const char* buf, size_t size);  // write, never blocking
    // The line is the host's alone again: our own description goes (a
    // pipe's other end then sees its end when the host closes it), or the
    // flags found are put back.
    void let_go();

private:
    int fd_;
    bool socket_ = false;
    UniqueFd own_;
    int found_flags_ = -1;  // the host's flags, while we changed them
};

// What the relay watches for and changes, beside moving the bytes.
struct RelayWatch {
    // A user who cancels a download sends this many CANs in a row (0: not
    // watched). ZMODEM escapes CAN in its data, so five mean a cancel; an
    // X/YMODEM receiver sends no data, so two do.
    int cancel_run = 0;
    // rz is made the receiver a YMODEM-G sender expects (ymodemg.h).
    bool streaming_receive = false;
};

class LineRelay {
public:
    enum class Coding { plain, telnet };

    // Makes the command's two pipes, for a line read from `from` and written
    // to `to`; on a terminal, the flow control suits a command that sends
    // or one that receives.
    LineRelay(Coding coding, bool command_sends, int from = 0, int to = 1, RelayWatch watch = {});
    // Ends what finish() would end, without waiting for the command's output
    // to reach the line.
    ~LineRelay();
    LineRelay(const LineRelay&) = delete;
    LineRelay& operator=(const LineRelay&) = delete;

    // False when the pipes could not be made; nothing can be relayed then.
    bool ok() const { return child_in_ && child_out_ && quit_ && drop_ && done_ && answered_; }

    // The command's ends of its pipes, to become its standard input and
    // output. Close-on-exec, so that no other child keeps them.
    int child_stdin() const { return child_in_.get(); }
    int child_stdout() const { return child_out_.get(); }

    // Once the command has been started (or has failed to start): drops our
    // copies of its ends, so that its output ends when it does, makes a
    // terminal line raw, and starts relaying. Throws std::system_error when
    // no thread can be had.
    void start();

    // The user is waited on no more (after a stop, a line that takes
    // nothing, or a failing run): what the command still writes is dropped,
    // and its input is closed.
    void abandon();

    // Call once the command has ended. Returns once everything it wrote has
    // reached the line, or the line failed, or the line was given up on: a
    // second after a stop, or once it took nothing for five seconds (see
    // deadline.h); then stops reading the line, closes the command's input
    // and puts a terminal line back as it was found. A line
    // that closes or fails while relaying closes the command's input and,
    // should it write on, its output too: it ends as on a line that was cut.
    void finish(SignalHold& hold);

    // Whether the line closed or failed while relaying (not because we
    // ended it): the line was cut.
    bool line_cut() const { return cut_; }
    // When `idle` will have passed with nothing moved either way on the line.
    Deadline quiet_until(Clock::duration idle) const
    {
        return Deadline(Clock::time_point(Clock::duration(active_.load())) + idle);
    }
    // When the user's cancel came, if it did (RelayWatch::cancel_run).
    std::optional<Clock::time_point> user_cancelled() const
    {
        const Clock::rep at = cancelled_at_.load();
        return at ? std::optional(Clock::time_point(Clock::duration(at))) : std::nullopt;
    }
    // rz asked a YMODEM-G sender for a block again: the sender was cancelled.
    bool bad_block() const { return streaming_ && streaming_->repeat_asked(); }

private:
    void relay_in();   // line to command
    void relay_out();  // command to line
    void restore_terminal();

    Coding coding_;
    bool command_sends_;
    LineEnd from_, to_;
    UniqueFd child_in_, child_out_;  // the command's ends until start()
    UniqueFd in_, out_;              // ours: the command's input (non-blocking) and output
    UniqueFd quit_;                  // eventfd: readable once both directions are to end
    UniqueFd drop_;                  // eventfd: readable once the line is waited on no more
    UniqueFd done_;                  // eventfd: readable once the outward direction has ended
    UniqueFd answered_;              // eventfd: readable once rz answered (YMODEM-G)
    std::atomic<bool> dropping_{false};
    std::atomic<Clock::rep> moved_{0};   // when the line last took something
    std::atomic<Clock::rep> active_{0};  // when something last moved either way
    std::atomic<bool> cut_{false};
    std::atomic<Clock::rep> cancelled_at_{0};
    int cancel_run_;
    int cans_ = 0;  // CANs in a row from the user, so far
    std::optional<StreamingReceive> streaming_;
    TelnetDecoder decoder_;
    std::thread inward_, outward_;
    int terminal_ = -1;  // the line's descriptor while it is a terminal we made raw
    termios found_{};
};
