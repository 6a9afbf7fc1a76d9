// Turns the captured diagnostic stream of a transfer command into transfer-log records.
#pragma once

#include <string>

#include "settings.h"

// Appends a record to s.veklog (when s.makeveklog) for each file seen in `log`,
// then deletes `log`. Returns 1 once deletion was attempted, 0 when a file
// could not be opened (the temporary log then stays).
int readlog(const RunSettings& s, const std::string& log);
