// A private temporary directory, removed with everything in it at the end of
// its scope. Header-only, so that the benchmarks can use it without the rest
// of the test support.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

class TempDir {
public:
    // Under $TEST_TMPDIR, else $TMPDIR, else /tmp.
    explicit TempDir(const std::string& prefix = "vek-test")
    {
        const char* base = std::getenv("TEST_TMPDIR");
        if (!base || !*base)
            base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
        if (!mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed under " + tmpl);
        path_ = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        // Tests take permissions away; removal needs them back.
        for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec))
                chmod(it->path().c_str(), 0700);
        }
        chmod(path_.c_str(), 0700);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
