// Lines appended to a file that other runs share (the transfer log, the
// events): each written whole, and a line cut short taken back, so that no
// line of the file is ever part of one.
#pragma once

#include <sys/types.h>

#include "unique_fd.h"

// A descriptor that reads the file `fd` appends to, for its last byte; none
// when `fd` is no regular file.
UniqueFd open_tail(int fd);

// Whether the file read through `tail` ends in a line cut short.
bool ends_mid_line(int tail);

// The last `n` bytes that `fd` appended are a line cut short: they are cut
// off when the file still ends where they end, else ended with a line end so
// that the next line starts one of its own. False (errno set) when neither
// could be done (a full disk): the next line must then start with a line end.
bool take_back(int fd, size_t n);
