#include "shell.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Holds one of posix_spawn's attribute objects from init to destroy.
template <class T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
public:
    SpawnObject() { Init(&object_); }
    ~SpawnObject() { Destroy(&object_); }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;
    T* get() { return &object_; }

private:
    T object_{};
};

using SpawnAttr = SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;
using FileActions =
    SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init, posix_spawn_file_actions_destroy>;

}  // namespace

ShellStart start_shell(const std::string& command, const std::string& dir, const sigset_t& to_default,
                       const sigset_t& mask)
{
    SpawnAttr attr;
    posix_spawnattr_setsigdefault(attr.get(), &to_default);
    posix_spawnattr_setsigmask(attr.get(), &mask);
    posix_spawnattr_setflags(attr.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    // Only the command changes directory: this process never leaves its own,
    // so there is no way back to lose.
    FileActions actions;
    if (!dir.empty())
        posix_spawn_file_actions_addchdir_np(actions.get(), dir.c_str());

    char sh[] = "sh";
    char dash_c[] = "-c";
    char end_of_options[] = "--";
    char* const argv[] = {sh, dash_c, end_of_options, const_cast<char*>(command.c_str()),
                          nullptr};
    // glibc's posix_spawn reports a failed exec (E2BIG among others) to the
    // caller instead of leaving a child that exits with 127.
    pid_t pid = -1;
    if (int err = posix_spawn(&pid, "/bin/sh", actions.get(), attr.get(), argv, environ); err != 0)
        return {-1, err};
    return {pid, 0};
}

int wait_shell(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}
