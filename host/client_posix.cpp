// Starting and ending a host on POSIX: a socketpair made before the host exists, its far end the
// host's only inherited descriptor (fd 3, besides /dev/null on 0 and 1 and the JVM's stderr);
// every descriptor of ours is close-on-exec, so no other child of the JVM inherits an end. Further channels travel over it as SCM_RIGHTS messages. When
// the JVM dies, however abruptly, the kernel closes its ends and the host sees end of file.
#include "host/process.h"
#include "host/protocol.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace morlane::hosted {
namespace {

constexpr int kHostControlFd = 3;

// morlane-host32 beside the library this code is part of.
bool host_path(std::string& path) noexcept {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&spawn_host_process), &info) == 0 ||
        info.dli_fname == nullptr) {
        return false;
    }
    path = info.dli_fname;
    const std::size_t slash = path.rfind('/');
    path =
        (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/morlane-host32";
    return access(path.c_str(), X_OK) == 0;
}

} // namespace

bool spawn_host_process(const char* file_name, Process& process) noexcept {
    std::string path;
    if (!host_path(path)) {
        return false;
    }
    // The JVM's environment as it is, so the library search is the same, except for LD_PRELOAD:
    // what a 64-bit JVM preloads (stdbuf, a sanitizer) cannot load into a 32-bit host, and the
    // loader would complain about each on stderr.
    std::size_t entries = 1;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        ++entries;
    }
    std::unique_ptr<char*[]> environment(new (std::nothrow) char*[entries]);
    if (!environment) {
        return false;
    }
    std::size_t kept = 0;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "LD_PRELOAD=", 11) != 0) {
            environment[kept++] = *entry;
        }
    }
    environment[kept] = nullptr;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return false;
    }
    // dup2 onto the same number would keep close-on-exec set, so the far end must not be fd 3.
    if (ends[1] == kHostControlFd) {
        const int moved = fcntl(ends[1], F_DUPFD_CLOEXEC, kHostControlFd + 1);
        close(ends[1]);
        ends[1] = moved;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], kHostControlFd);
    // The JVM opens many descriptors without close-on-exec (jars, sockets); none may reach the
    // host, or a port the program closes would stay bound for as long as the host lives.
    posix_spawn_file_actions_addclosefrom_np(&actions, kHostControlFd + 1);
    // The bridge alone writes on the JVM's stdout; the host never reads the JVM's stdin.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The JVM blocks and handles signals for its own use; the host starts with a clean slate.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(file_name), nullptr};
    pid_t pid = 0;
    const int failed = ends[1] < 0 ? EBADF
                                   : posix_spawn(&pid, path.c_str(), &actions, &attributes, argv,
                                                 environment.get());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (failed != 0) {
        close(ends[0]);
        return false;
    }
    process.id = pid;
    process.control = ends[0];
    return true;
}

Fd open_channel(Process& process) noexcept {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return kNoFd;
    }
    wire::ControlMessage message{wire::kNewChannel, 0};
    iovec data{&message, sizeof message};
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = space;
    header.msg_controllen = sizeof space;
    cmsghdr* rights = CMSG_FIRSTHDR(&header);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &ends[1], sizeof(int));
    ssize_t sent;
    do {
        sent = sendmsg(static_cast<int>(process.control), &header, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    close(ends[1]);
    if (sent != static_cast<ssize_t>(sizeof message)) {
        close(ends[0]);
        return kNoFd;
    }
    return ends[0];
}

void end_host_process(Process& process) noexcept {
    close_fd(process.control);
    process.control = kNoFd;
    int status = 0;
    while (waitpid(static_cast<pid_t>(process.id), &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace morlane::hosted
