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
// the names given to sz, and that name has not had a record for each time it
// was given.
RecordCheck sent_check(const std::vector<std::string>& names);

// A receive record is believed when its name, taken beneath `dir` (where rz
// ran; "." for here) without going up or following a symlink, is a regular
// file born in or after the second `started` (whose status changed then,
// where the file system keeps no birth time), and that file has had no record
// yet.
RecordCheck received_check(const std::string& dir, time_t started);

// The clock that file times come from, in whole seconds.
time_t file_clock_now();
