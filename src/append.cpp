#include "append.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

UniqueFd open_tail(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return UniqueFd();
    return UniqueFd(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC));
}

bool ends_mid_line(int tail)
{
    struct stat st {};
    char last = '\n';
    return tail >= 0 && fstat(tail, &st) == 0 && st.st_size > 0 && pread(tail, &last, 1, st.st_size - 1) == 1 &&
           last != '\n';
}

bool take_back(int fd, size_t n)
{
    const off_t end = lseek(fd, 0, SEEK_CUR);  // where our append ended
    struct stat st {};
    if (end >= static_cast<off_t>(n) && fstat(fd, &st) == 0 && st.st_size == end &&
        ftruncate(fd, end - static_cast<off_t>(n)) == 0)
        return true;
    ssize_t r;
    do
        r = ::write(fd, "\n", 1);
    while (r < 0 && errno == EINTR);
    if (r == 1)
        return true;
    if (r == 0)
        errno = ENOSPC;
    return false;
}
