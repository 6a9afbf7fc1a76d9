// The run's settings: filled by the command line (and a file list), read by
// every later stage.
#pragma once

#include <optional>
#include <string>
#include <vector>

enum class Protocol { none, xmodem, ymodem, zmodem };
enum class Direction { none, send, receive };

struct RunSettings {
    std::string filelist;                // file list path; empty means none
    std::optional<std::string> veklog;   // transfer log path, when one is wanted (it may be empty)
    std::optional<std::string> events;   // where the events go, when they are wanted
    std::optional<unsigned> idle;        // seconds with nothing moved on the line that stop the run
    std::string tmpdir;                  // temporary directory as the environment gave it
    std::vector<std::string> filename;   // the names to use; a file list replaces them
    bool makesyslog = false;
    bool telnet = false;  // the connection is TELNET: relay the command's input and output
    Protocol proto = Protocol::none;
    bool streaming = false;  // YMODEM-G: the user's sender streams, and is asked with G
    Direction action = Direction::none;
    bool batch = false;

    bool makeveklog() const { return veklog.has_value(); }
    int numfiles() const { return static_cast<int>(filename.size()); }
};
