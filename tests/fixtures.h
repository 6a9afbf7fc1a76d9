// The two ways the tests run the built program: with fake sz and rz first on
// PATH, which record how they were called and write to their standard error
// whatever a test asks; and two copies back to back with the real ones.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

// A fake sz/rz: records its pid, its arguments one per line, its working directory and
// where its standard error goes, creates the files named in $FAKE_CREATE (blank-separated,
// in its working directory) as a receive would, writes $FAKE_STDERR (printf %b escapes) and
// then the file $FAKE_STDERR_FILE there and exits with $FAKE_STATUS.
// $FAKE_SIGNAL, when set, is sent to its whole process group. With $FAKE_GATE
// set it first leaves $FAKE_DIR/<name>.ready and waits for a line from that
// named pipe, so that a test can hold many runs and let them go at once.
inline constexpr const char* fake_tool = R"SH(#!/bin/sh
me=$(basename "$0")
echo $$ > "$FAKE_DIR/$me.pid"
if [ -n "$FAKE_GATE" ]; then : > "$FAKE_DIR/$me.ready"; read -r _ < "$FAKE_GATE"; fi
printf '%s\n' "$@" > "$FAKE_DIR/$me.args"
pwd -P > "$FAKE_DIR/$me.cwd"
readlink /proc/self/fd/2 > "$FAKE_DIR/$me.err"
stat -c "%a %F" "$(readlink /proc/self/fd/2)" > "$FAKE_DIR/$me.mode"
for f in $FAKE_CREATE; do : > "$f"; done
printf '%b' "$FAKE_STDERR" >&2
[ -n "$FAKE_STDERR_FILE" ] && cat "$FAKE_STDERR_FILE" >&2
[ -n "$FAKE_SIGNAL" ] && kill -s "$FAKE_SIGNAL" 0
exit "${FAKE_STATUS:-0}"
)SH";

// A private tree: bin/ with the fakes, tmp/ as TMP, work/ as the working
// directory; the fakes record into the tree's root.
class FakeTools : public testing::Test {
protected:
    void SetUp() override
    {
        mkdir((dir / "bin").c_str(), 0755);
        mkdir((dir / "tmp").c_str(), 0755);
        mkdir((dir / "work").c_str(), 0755);
        write_file(dir / "bin/sz", fake_tool, 0755);
        write_file(dir / "bin/rz", fake_tool, 0755);
        env = base_env();
        env["PATH"] = dir / "bin:" + env["PATH"];
        env["FAKE_DIR"] = dir.path();
        env["TMP"] = dir / "tmp";
    }

    // Runs the program from now on as someone whom permissions stop, who owns
    // the tree: nobody when the tests run as root, else the tests' own user.
    void unprivileged()
    {
        if (geteuid() == 0)
            uid = 65534;
    }

    RunOptions options(const std::string& cwd = "")
    {
        RunOptions o;
        o.env = env;
        o.cwd = cwd.empty() ? dir / "work" : cwd;
        o.timeout_seconds = 30;
        o.uid = uid;
        if (uid) {  // the whole tree, as the program's own files would be
            std::error_code ec;
            lchown(dir.path().c_str(), *uid, *uid);
            for (auto it = std::filesystem::recursive_directory_iterator(dir.path(), ec);
                 !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
                lchown(it->path().c_str(), *uid, *uid);
        }
        return o;
    }

    // The built program; for another user, a copy in the tree, since the build
    // tree may be out of that user's reach.
    std::string program()
    {
        if (!uid)
            return vek_binary();
        if (!file_exists(dir / "bin/vek"))
            std::filesystem::copy_file(vek_binary(), dir / "bin/vek");
        return dir / "bin/vek";
    }

    RunResult vek(std::vector<std::string> args, const std::string& cwd = "")
    {
        args.insert(args.begin(), program());
        return run_program(args, options(cwd));
    }

    std::string recorded(const std::string& what) { return read_file(dir / what); }
    bool ran(const std::string& tool) { return file_exists(dir / (tool + ".args")); }

    std::vector<std::string> leftovers() { return list_dir(dir / "tmp"); }

    TempDir dir;
    std::map<std::string, std::string> env;
    std::optional<uid_t> uid;
};

// An event stream's objects, one a line; a line that is no JSON throws.
// Readers that split lines at every Unicode line break must see the same.
inline std::vector<nlohmann::json> events_in(const std::string& text)
{
    EXPECT_EQ(text.find("\xe2\x80\xa8"), std::string::npos);
    EXPECT_EQ(text.find("\xe2\x80\xa9"), std::string::npos);
    std::vector<nlohmann::json> all;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        all.push_back(nlohmann::json::parse(line));
    return all;
}

inline std::vector<nlohmann::json> of_kind(const std::vector<nlohmann::json>& all, const std::string& event)
{
    std::vector<nlohmann::json> some;
    for (const nlohmann::json& e : all)
        if (e["event"] == event)
            some.push_back(e);
    return some;
}

class RealPair : public testing::Test {
protected:
    // send/ and recv/ for the two sides, which share tmp/ as the nodes of one
    // host share a TMP.
    void SetUp() override
    {
        for (const char* d : {"send", "recv", "tmp"})
            mkdir((root / d).c_str(), 0755);
    }

    PairSide side(const std::string& cwd, std::vector<std::string> argv)
    {
        PairSide p{std::move(argv), {}};
        p.opts.env = base_env();
        p.opts.env["TMP"] = root / "tmp";
        p.opts.cwd = root / cwd;
        return p;
    }

    // The program in `cwd` with transfer log `veklog`, both in the tree.
    PairSide vek(const std::string& cwd, const std::string& veklog, std::vector<std::string> args)
    {
        args.insert(args.begin(), vek_binary());
        PairSide p = side(cwd, std::move(args));
        p.opts.env["VEKLOG"] = root / veklog;
        return p;
    }

    // The command that vek would run, run by the shell without it.
    PairSide bare(const std::string& cwd, const std::string& command, const std::vector<std::string>& names = {})
    {
        std::vector<std::string> argv{"/bin/sh", "-c", "exec " + command + " \"$@\"", "sh"};
        argv.insert(argv.end(), names.begin(), names.end());
        return side(cwd, std::move(argv));
    }

    void put(const std::string& name, const std::string& data)
    {
        files[name] = data;
        write_file(root / ("send/" + name), data);
    }

    std::string log(const std::string& name) { return file_exists(root / name) ? read_file(root / name) : ""; }

    // The files in recv/ that are whole copies of the files put, in name order.
    std::vector<std::string> arrived_whole()
    {
        std::vector<std::string> whole;
        for (const std::string& name : list_dir(root / "recv"))
            if (files.count(name) && read_file(root / ("recv/" + name)) == files[name])
                whole.push_back(name);
        return whole;
    }

    TempDir root;
    std::map<std::string, std::string> files;  // put: name in send/, data
};
