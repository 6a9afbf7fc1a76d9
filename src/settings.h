// The run's state, filled by the command line and read by every later stage.
#pragma once

#include <string>
#include <vector>

enum Action { ACTION_NONE = 0, ACTION_SEND = 1, ACTION_RECEIVE = 2 };
enum Proto { PROTO_NONE = 0, PROTO_XMODEM = 1, PROTO_YMODEM = 2, PROTO_ZMODEM = 3 };

struct RunSettings {
    std::string filelist;               // file list path; empty means none
    std::string veklog;                 // transfer log path
    std::string tmpdir;                 // temporary directory as the environment gave it
    std::vector<std::string> filename;  // entries past numfiles may linger from the command line
    int numfiles = 0;
    bool makeveklog = false;
    bool makesyslog = false;
    bool telnet = false;  // the connection is TELNET: relay the command's input and output
    int proto = PROTO_NONE;
    int action = ACTION_NONE;
    bool batch = false;
};
