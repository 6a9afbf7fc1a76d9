// Which records name a file that this run really moved. The remote peer
// chooses the names a receive reports, and a name can hold line ends and
// words of the scanned stream, so a record is believed only when the file
// system or our own command line backs it.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "logrecord.h"

// The last path component of `path`, as sz names a file it sends.
std::string last_component(const std::string& path);

// A send record is believed when its name is the last component of one of
// the names given to sz.
RecordCheck sent_check(const std::vector<std::string>& names);

// A receive record is believed when its name, taken relative to `dir` (where
// rz ran; "." for here), is a regular file whose status changed in or after
// the second `started`.
RecordCheck received_check(const std::string& dir, time_t started);

// The clock that file times come from, in whole seconds.
time_t file_clock_now();
