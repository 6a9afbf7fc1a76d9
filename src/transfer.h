// The transfer stage: runs the one transfer command that finished settings
// ask for, with its diagnostic stream captured and turned into records.
#pragma once

#include "settings.h"

class EventStream;
class SignalHold;

// Sends, receives a batch, or receives one file, as `s` says, with the
// protocol it names. A single receive runs inside the directory part of its
// name; only XMODEM, whose sender names nothing, is given the file's name.
// Throws Fatal when the command is too long to be run at all, a single
// receive's directory cannot be entered, or XMODEM is asked for what it
// cannot carry. A command that fails is reported at level 2 only.
// `hold` holds the stops meanwhile and keeps the one that came; `events`,
// when asked for, hears of the run's start and of each file.
void xfer_files(const RunSettings& s, SignalHold& hold, EventStream* events = nullptr);
