// What sz and rz write on standard error, and the transfer-log records the
// conversion makes of it.
#pragma once

#include <algorithm>
#include <string>

// What sz -brNvv writes for one file: its header, a progress chunk, the final count.
inline std::string sz_says(const std::string& name, long rate)
{
    return "Sending: " + name + "\n\rBytes Sent:   1024/   5000   BPS:5070799  ETA 00:00  \r" +
           "Bytes Sent:   5000   BPS:" + std::to_string(rate) + "                         \n";
}

// Real sz -brNvv and rz -bpRvv output for one file, whole.
inline const std::string sz_text = sz_says("a.bin", 5807676) + "\r\nTransfer complete\n";
inline const std::string rz_text =
    "rz waiting to receive.\r      \rReceiving: a.bin\n\rBytes received:    1024/   5000   BPS:6731923 ETA "
    "00:00  \rBytes received:    5000/   5000   BPS:23912793                \r\n\r\nTransfer complete\n";

inline std::string record(char direction, int rate, const std::string& name)
{
    std::string r = std::to_string(rate);
    r.resize(std::max<size_t>(r.size(), 4), ' ');
    return direction + ("  99999 38400 bps " + r + " cps   0 errors    66 1024 " + name + " -1\n");
}

// 9999: the cap, which a real transfer's rate exceeds.
inline std::string sent(const std::string& name, int rate = 9999) { return record('S', rate, name); }
// 0: rz's "Bytes received" carries no rate that the conversion reads.
inline std::string received(const std::string& name, int rate = 0) { return record('R', rate, name); }
