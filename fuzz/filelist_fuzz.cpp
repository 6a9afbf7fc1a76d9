// Feeds arbitrary bytes to the file-list reader as a list file. Whatever the
// bytes, it must end with names that are whole trimmed lines, or a Fatal.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "fatal.h"
#include "filelist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int fd = memfd_create("filelist", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        __builtin_trap();

    RunSettings s;
    s.filelist = "/proc/self/fd/" + std::to_string(fd);
    s.filename = {"from-command-line", "b"};
    try {
        read_batch(s);
    } catch (const Fatal&) {
        return 0;
    }
    for (const std::string& name : s.filename) {
        if (name.empty() || name.size() > 1023 || name.find('\n') != std::string::npos)
            __builtin_trap();
    }
    return 0;
}
