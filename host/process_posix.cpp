// Starting and ending a host on POSIX: a socketpair made before the host exists, its far end the
// host's only inherited descriptor (fd 3, besides /dev/null on 0 and 1 and the JVM's stderr);
// every descriptor of ours is close-on-exec, so no other child of the JVM inherits an end. When
// the JVM dies, however abruptly, the kernel closes its ends and the host sees end of file.
// The host's end is seen from its process (a process descriptor), not from its channel: a child
// that the host's library forks keeps the channel open after the host has died.
#include "host/process.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace morlane::hosted {
namespace {

constexpr int kHostControlFd = 3;

// Whether the 32-bit ELF file at `path` names a program interpreter (PT_INTERP) that is missing,
// as it is on a machine without the 32-bit C runtime; its name then into `interpreter`.
bool interpreter_missing(const char* path, char (&interpreter)[256]) noexcept {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    Elf32_Ehdr header{};
    bool found = false;
    if (fd >= 0 && pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
        header.e_ident[EI_CLASS] == ELFCLASS32 && header.e_phentsize == sizeof(Elf32_Phdr)) {
        Elf32_Phdr segment{};
        for (unsigned i = 0; i < header.e_phnum && !found; ++i) {
            const off_t at = static_cast<off_t>(header.e_phoff) + i * sizeof segment;
            if (pread(fd, &segment, sizeof segment, at) != static_cast<ssize_t>(sizeof segment)) {
                break;
            }
            found = segment.p_type == PT_INTERP && segment.p_filesz > 1 &&
                    segment.p_filesz <= sizeof interpreter &&
                    pread(fd, interpreter, segment.p_filesz, segment.p_offset) ==
                        static_cast<ssize_t>(segment.p_filesz) &&
                    interpreter[segment.p_filesz - 1] == '\0';
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    return found && access(interpreter, F_OK) != 0;
}

} // namespace

bool spawn_host_process(const char* file_name, Process& process, LoadError& why) noexcept {
    // Any failure to load is worth a host: dlopen cannot tell a library of the other architecture
    // from one it cannot open for another reason.
    std::string found;
    LoadError not_seen;
    const char* library =
        find_32bit_library(file_name, found, not_seen) ? found.c_str() : file_name;
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&watch_of), &self) == 0 || self.dli_fname == nullptr) {
        return fail(why, "the bridge cannot find its own folder");
    }
    std::string path = self.dli_fname;
    const std::size_t slash = path.rfind('/');
    path =
        (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/morlane-host32";
    if (access(path.c_str(), F_OK) != 0) {
        return fail(why, "%s not found", path.c_str());
    }
    if (access(path.c_str(), X_OK) != 0) {
        return fail(why, "%s is not executable", path.c_str());
    }
    // The JVM's environment but LD_PRELOAD: what a 64-bit JVM preloads (stdbuf, a sanitizer)
    // cannot load into a 32-bit host, and the loader would complain about each on stderr.
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "LD_PRELOAD=", 11) != 0) {
            environment.push_back(*entry);
        }
    }
    environment.push_back(nullptr);
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return fail(why, "could not start %s: %s", path.c_str(), std::strerror(errno));
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
    // The JVM blocks and handles signals for its own use; the host starts with a clean slate.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* argv[] = {&path[0], const_cast<char*>(library), nullptr};
    pid_t pid = 0;
    const int failed = ends[1] < 0 ? EBADF
                                   : posix_spawn(&pid, path.c_str(), &actions, &attributes, argv,
                                                 environment.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (failed != 0) {
        close(ends[0]);
        // "Not found" for a host that is there means its interpreter is missing.
        char interpreter[256];
        if (failed == ENOENT && interpreter_missing(path.c_str(), interpreter)) {
            return fail(why,
                        "could not start %s: its interpreter %s is missing, so the 32-bit C "
                        "runtime is not installed (on Debian: the package libc6:i386)",
                        path.c_str(), interpreter);
        }
        return fail(why, "could not start %s: %s", path.c_str(), std::strerror(failed));
    }
    process.id = pid;
    process.control.fd = ends[0];
    process.control.peer = static_cast<int>(watch_of(process));
    return true;
}

std::intptr_t watch_of(const Process& process) noexcept {
#if defined(SYS_pidfd_open)
    // Readable once the process has exited, reaped or not; the kernel (5.3 and later) sets
    // close-on-exec itself.
    return syscall(SYS_pidfd_open, static_cast<pid_t>(process.id), 0);
#else
    (void)process;
    return -1;
#endif
}

bool signalled(std::intptr_t watch) noexcept {
    pollfd ended{static_cast<int>(watch), POLLIN, 0};
    return watch >= 0 && poll(&ended, 1, 0) > 0;
}

bool exited(const Process& process) noexcept {
    siginfo_t info{};
    // WNOWAIT: the pid stays the host's until it is reaped, so that kill_host stays safe.
    return waitid(P_PID, static_cast<id_t>(process.id), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid != 0;
}

void close_watch(std::intptr_t watch) noexcept {
    if (watch >= 0) {
        close(static_cast<int>(watch));
    }
}

std::intptr_t make_wakeup() noexcept {
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void wakeup(std::intptr_t wake) noexcept {
    const std::uint64_t one = 1;
    while (write(static_cast<int>(wake), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void wait_any(std::intptr_t wake, const std::intptr_t* watches, int count,
              std::chrono::milliseconds timeout) noexcept {
    // Negative descriptors are skipped.
    pollfd ready[kMostWatches + 1] = {{static_cast<int>(wake), POLLIN, 0}};
    int used = 1;
    for (int i = 0; i < count && used <= kMostWatches; ++i) {
        ready[used++] = pollfd{static_cast<int>(watches[i]), POLLIN, 0};
    }
    if (poll(ready, static_cast<nfds_t>(used),
             timeout.count() < 0 ? -1 : static_cast<int>(timeout.count())) > 0 &&
        (ready[0].revents & POLLIN) != 0) {
        std::uint64_t drained;
        while (read(static_cast<int>(wake), &drained, sizeof drained) < 0 && errno == EINTR) {
        }
    }
}

void kill_host(const Process& process) noexcept {
    // Only ever before the host is reaped, so the pid is still the host's.
    kill(static_cast<pid_t>(process.id), SIGKILL);
}

bool reap_host(Process& process) noexcept {
    int status = 0;
    pid_t done;
    do {
        done = waitpid(static_cast<pid_t>(process.id), &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == 0) {
        return false;
    }
    process.id = 0;
    return true;
}

} // namespace morlane::hosted
