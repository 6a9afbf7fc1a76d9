// Two nodes of one host back to back: a private tree with send/, recv/ and a
// shared tmp/ as both sides' TMP, each side with its own transfer log.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "pair.h"
#include "support.h"

inline std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen() & 0xff);
    return s;
}

// A size whose files move far faster than the 9999 bytes a second of the
// rate's cap, even after the seconds that XMODEM and YMODEM take to start,
// so that their records are predictable.
inline constexpr size_t SMALL = 70000;

class Nodes : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char* d : {"send", "recv", "tmp"})
            mkdir((root / d).c_str(), 0755);
    }

    // `args` for the program, or, with `bare`, a shell command (PATH applies).
    PairSide side(const std::string& cwd, const std::string& veklog, std::vector<std::string> args,
                  bool bare = false)
    {
        if (bare)
            args.insert(args.begin(), {"/bin/sh", "-c"});
        else
            args.insert(args.begin(), vek_binary());
        PairSide p{args, {}};
        p.opts.env = base_env();
        p.opts.env["TMP"] = root / "tmp";
        p.opts.env["VEKLOG"] = root / veklog;
        p.opts.cwd = root / cwd;
        p.opts.timeout_seconds = 60;
        return p;
    }

    void put(const std::string& name, const std::string& data)
    {
        files[name] = data;
        write_file(root / ("send/" + name), data);
    }

    std::string log(const std::string& name) { return file_exists(root / name) ? read_file(root / name) : ""; }

    static void expect_clean_run(const RunResult& r, const char* who)
    {
        EXPECT_FALSE(r.timed_out) << who;
        EXPECT_EQ(r.status, 0) << who;
        EXPECT_EQ(r.err, "") << who;
    }

    TempDir root;
    std::map<std::string, std::string> files;
};
