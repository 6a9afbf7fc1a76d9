// Reads the names of a batch from a file list, one name per line.
#pragma once

#include <cstdio>
#include <string>

#include "settings.h"

// Reads the next piece of a line (at most 1023 characters, up to and including
// its LF) into `line` and trims it: a piece that starts with CR or LF becomes
// empty; otherwise trailing CR/LF and then trailing white space go, but never
// the first character. Returns false at end of file or on a read error, when
// nothing was read.
bool readline(std::string& line, std::FILE* fp);

// Replaces s.filename with the non-blank lines of s.filelist. Throws Fatal
// (status 1) when the list cannot be opened or read.
void read_batch(RunSettings& s);
