// Runs two programs back to back, each one's standard output feeding the
// other's standard input, as two nodes of a host would be connected. Both are
// killed when the time bound passes, so no test can hang on a stuck transfer.
#pragma once

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
