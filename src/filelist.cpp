#include "filelist.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <new>

#include "diag.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* fp) const { std::fclose(fp); }
};

Fatal cannot_open(const std::string& path)
{
    return Fatal{1, "Fatal: Cannot open " + path + "!\n"};
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
        throw cannot_open(s.filelist);

    int index = 0;
    try {
        std::string line;
        while (readline(line, fp.get())) {
            if (line.empty())
                continue;
            if (static_cast<size_t>(index) < s.filename.size())
                s.filename[static_cast<size_t>(index)] = line;
            else
                s.filename.push_back(line);
            debug_printf(3, "Adding file on line %d (%s).\n", index, line.c_str());
            ++index;
        }
    } catch (const std::bad_alloc&) {
        throw Fatal{255, "Fatal: Unable to allocate memory for batch item!\n"};
    }
    // A list that opens but cannot be read (a directory) would otherwise look
    // like an empty one.
    if (std::ferror(fp.get()))
        throw cannot_open(s.filelist);
    s.numfiles = index;
}
