#include "filelist.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <new>

#include "diag.h"
#include "report.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* fp) const { std::fclose(fp); }
};

[[noreturn]] void cannot_open(const std::string& path)
{
    die(1, "Cannot open %s!\n", path.c_str());
}

}  // namespace

bool readline(std::string& line, std::FILE* fp)
{
    // A list line is read in pieces of 1023 characters; the rest of a longer
    // line comes back as the next piece.
    char buf[1025];
    if (!std::fgets(buf, 1024, fp))
        return false;
    size_t len = std::strlen(buf);
    if (buf[0] == '\n' || buf[0] == '\r') {
        len = 0;
    } else {
        while (len > 1 && (buf[len - 1] == '\n' || buf[len - 1] == '\r'))
            --len;
        // The program never sets a locale: white space is the C locale's.
        while (len > 1 && std::isspace(static_cast<unsigned char>(buf[len - 1])))
            --len;
    }
    line.assign(buf, len);
    return true;
}

void read_batch(RunSettings& s)
{
    std::unique_ptr<std::FILE, FileCloser> fp(std::fopen(s.filelist.c_str(), "re"));
    if (!fp)
        cannot_open(s.filelist);

    std::vector<std::string> names;
    try {
        std::string line;
        while (readline(line, fp.get())) {
            if (line.empty())
                continue;
            debug_printf(3, "Adding file on line %zu (%s).\n", names.size(), line.c_str());
            names.push_back(line);
        }
    } catch (const std::bad_alloc&) {
        die(255, "Unable to allocate memory for batch item!\n");
    }
    // A list that opens but cannot be read (a directory) would otherwise look
    // like an empty one.
    if (std::ferror(fp.get()))
        cannot_open(s.filelist);
    s.filename = std::move(names);
}
