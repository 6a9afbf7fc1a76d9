// Stands between a TELNET connection and a command that knows nothing of
// TELNET: the command gets a private pipe as its standard input and another
// as its standard output, and the relay moves the bytes between those and
// the connection, decoding what comes in and encoding what goes out
// (telnet.h), so that 0xFF bytes cross the line intact both ways.
#pragma once

#include <thread>

#include "telnet.h"
#include "unique_fd.h"

class TelnetRelay {
public:
    // Makes the command's two pipes, for a connection read from `from` and
    // written to `to`. The connection's descriptors are used as they are: the
    // host shares them, so their flags are never changed.
    explicit TelnetRelay(int from = 0, int to = 1);
    // Ends what finish() would end, without waiting for the command's output.
    ~TelnetRelay();
    TelnetRelay(const TelnetRelay&) = delete;
    TelnetRelay& operator=(const TelnetRelay&) = delete;

    // False when the pipes could not be made; nothing can be relayed then.
    bool ok() const { return child_in_ && child_out_ && stop_; }

    // The command's ends of its pipes, to become its standard input and
    // output (dup2 in the child). Close-on-exec, so no other child keeps them.
    int child_stdin() const { return child_in_.get(); }
    int child_stdout() const { return child_out_.get(); }

    // Once the command has been started (or has failed to start): drops our
    // copies of its ends, so that its output ends when it does, and starts
    // relaying.
    void start();

    // Returns once everything the command wrote has reached the connection
    // (its output pipe is at end of file), or the connection failed; then
    // stops reading the connection and closes the command's input. Call it
    // after the command has ended. A connection that closes or fails while
    // relaying closes the command's input and, should it write on, its
    // output too: it ends as it would on a line that was cut.
    void finish();

private:
    void relay_in();   // connection to command
    void relay_out();  // command to connection
    void stop();

    int from_, to_;
    UniqueFd child_in_, child_out_;  // the command's ends until start()
    UniqueFd in_, out_;              // our ends: the command's input (non-blocking) and output
    UniqueFd stop_;                  // an eventfd: readable once the relay is to stop
    TelnetDecoder decoder_;
    std::thread inward_, outward_;
};
