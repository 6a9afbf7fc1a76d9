// Runs two programs back to back, each one's standard output feeding the
// other's standard input, as two nodes of a host would be connected. Both are
// killed when the time bound passes, so no test can hang on a stuck transfer.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support.h"

struct PairSide {
    std::vector<std::string> argv;  // argv[0] is the path to execute
    RunOptions opts;                // all but input: the peer is that
};

// RunResult::out stays empty: standard output is the wire. Each side's
// standard error is captured. Both sides share the one time bound of `first`.
std::pair<RunResult, RunResult> run_pair(const PairSide& first, const PairSide& second);

// A pair left running, so that a test can act on it mid-transfer (signal a
// side or its process group, look at its files) before waiting for it. The
// time bound runs from the start. Standard error is read only in wait(), so
// a side may write no more to it than a pipe holds before then. Whatever is
// left of either process group is killed when the object goes.
class RunningPair {
public:
    RunningPair(const PairSide& first, const PairSide& second);
    ~RunningPair();
    RunningPair(const RunningPair&) = delete;
    RunningPair& operator=(const RunningPair&) = delete;

    // Side 0 or 1: its process, which leads its own process group.
    pid_t pid(int side) const { return pids_[side]; }
    // Collects standard error and waits for both sides, as run_pair does.
    std::pair<RunResult, RunResult> wait();

private:
    pid_t pids_[2] = {-1, -1};
    int errfds_[2] = {-1, -1};
    bool waited_ = false;
    Deadline deadline_;
};
