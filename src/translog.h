// Turns the captured diagnostic stream of a transfer command into transfer-log records.
#pragma once

#include <string>

#include "settings.h"

// Appends a record to s.veklog (when s.makeveklog) for each file seen in
// `log`. Returns false when a file could not be opened or the log could not
// be read; the caller then keeps the temporary log for a look.
bool readlog(const RunSettings& s, const std::string& log);
