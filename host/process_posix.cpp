// Starting and ending a host on POSIX: a socketpair made before the host exists, its far end the
// host's only inherited descriptor (fd 3, besides /dev/null on 0 and 1 and the JVM's stderr);
// every descriptor of ours is close-on-exec, so no other child of the JVM inherits an end.
// Mailboxes travel over it as SCM_RIGHTS messages. When the JVM dies, however abruptly, the kernel
// closes its ends and the host sees end of file.
#include "host/process.h"
#include "host/protocol.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace morlane::hosted {
namespace {

constexpr int kHostControlFd = 3;

// morlane-host32 beside the library this code is part of; false, with the reason, when it is not
// there to be started.
bool host_path(std::string& path, LoadError& why) noexcept {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&watch_of), &info) == 0 || info.dli_fname == nullptr) {
        std::snprintf(why.text, sizeof why.text, "the bridge cannot find its own folder");
        return false;
    }
    path = info.dli_fname;
    const std::size_t slash = path.rfind('/');
    path =
        (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/morlane-host32";
    if (access(path.c_str(), F_OK) != 0) {
        std::snprintf(why.text, sizeof why.text, "%s not found", path.c_str());
        return false;
    }
    if (access(path.c_str(), X_OK) != 0) {
        std::snprintf(why.text, sizeof why.text, "%s is not executable", path.c_str());
        return false;
    }
    return true;
}

// The program interpreter that the 32-bit ELF file at `path` names (PT_INTERP), into
// `interpreter`; false when it names none that fits or cannot be read.
bool elf_interpreter(const char* path, char* interpreter, std::size_t size) noexcept {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool found = false;
    Elf32_Ehdr header{};
    if (pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
        header.e_ident[EI_CLASS] == ELFCLASS32 && header.e_phentsize == sizeof(Elf32_Phdr)) {
        for (unsigned i = 0; i < header.e_phnum && !found; ++i) {
            Elf32_Phdr segment{};
            const off_t at = static_cast<off_t>(header.e_phoff) + i * sizeof segment;
            if (pread(fd, &segment, sizeof segment, at) != static_cast<ssize_t>(sizeof segment)) {
                break;
            }
            if (segment.p_type == PT_INTERP && segment.p_filesz > 1 && segment.p_filesz <= size) {
                found = pread(fd, interpreter, segment.p_filesz, segment.p_offset) ==
                            static_cast<ssize_t>(segment.p_filesz) &&
                        interpreter[segment.p_filesz - 1] == '\0';
            }
        }
    }
    close(fd);
    return found;
}

// Why posix_spawn failed with `error`. "Not found" for a host that is there means its
// interpreter is missing: the machine lacks the 32-bit C runtime.
void spawn_failed(const std::string& path, int error, LoadError& why) noexcept {
    char interpreter[256];
    if (error == ENOENT && elf_interpreter(path.c_str(), interpreter, sizeof interpreter) &&
        access(interpreter, F_OK) != 0) {
        std::snprintf(why.text, sizeof why.text,
                      "could not start %s: its interpreter %s is missing, so the 32-bit C runtime "
                      "is not installed (on Debian: the package libc6:i386)",
                      path.c_str(), interpreter);
        return;
    }
    std::snprintf(why.text, sizeof why.text, "could not start %s: %s", path.c_str(),
                  std::strerror(error));
}

} // namespace

bool spawn_host_process(const char* file_name, Process& process, LoadError& why) noexcept {
    // Any failure here is worth a host: dlopen cannot tell a library of the other architecture
    // from one it cannot open for another reason. The host loads the 32-bit file the bridge sees
    // where the 32-bit loader would look; when it sees none (that loader's cache may name folders
    // of its own), the host searches for the bare name itself.
    std::string found;
    LoadError not_seen;
    const char* library =
        find_32bit_library(file_name, found, not_seen) ? found.c_str() : file_name;
    std::string path;
    if (!host_path(path, why)) {
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
        std::snprintf(why.text, sizeof why.text, "no memory to start %s", path.c_str());
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
        std::snprintf(why.text, sizeof why.text, "could not start %s: %s", path.c_str(),
                      std::strerror(errno));
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
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(library), nullptr};
    pid_t pid = 0;
    const int failed = ends[1] < 0 ? EBADF
                                   : posix_spawn(&pid, path.c_str(), &actions, &attributes, argv,
                                                 environment.get());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (failed != 0) {
        close(ends[0]);
        spawn_failed(path, failed, why);
        return false;
    }
    process.id = pid;
    process.control.fd = ends[0];
    return true;
}

bool hand_over_mailbox(Process& process, Mailbox& mailbox, std::uint32_t& answer) noexcept {
    const wire::ControlMessage message{wire::kNewMailbox, 0, {0, 0}, mailbox.bytes};
    const int fd = static_cast<int>(mailbox.handle);
    const bool sent = send_with_descriptor(process.control, &message, sizeof message, fd);
    close(fd); // the mapping stays
    mailbox.handle = -1;
    return sent && read_all(process.control, &answer, sizeof answer);
}

std::intptr_t watch_of(const Process& process) noexcept {
    // A copy of the control socket of the warden's own, which it may wait on while the bridge
    // closes its copy; the host's end closes when the host exits.
    return fcntl(process.control.fd, F_DUPFD_CLOEXEC, 3);
}

void close_watch(std::intptr_t watch) noexcept {
    close(static_cast<int>(watch));
}

std::intptr_t this_thread_watch() noexcept {
    return -1;
}

bool signalled(std::intptr_t watch) noexcept {
    pollfd ended{static_cast<int>(watch), POLLRDHUP, 0};
    return poll(&ended, 1, 0) > 0;
}

std::intptr_t make_wakeup() noexcept {
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void wakeup(std::intptr_t wake) noexcept {
    const std::uint64_t one = 1;
    ssize_t written;
    do {
        written = write(static_cast<int>(wake), &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

void wait_any(std::intptr_t wake, const std::intptr_t* watches, int count,
              std::chrono::milliseconds timeout) noexcept {
    pollfd ready[64];
    int used = 0;
    ready[used++] = pollfd{static_cast<int>(wake), POLLIN, 0};
    for (int i = 0; i < count && used < 64; ++i) {
        // Only a hang-up: the host writes answers on its control channel too.
        ready[used++] = pollfd{static_cast<int>(watches[i]), POLLRDHUP, 0};
    }
    const int waited = poll(ready, static_cast<nfds_t>(used),
                            timeout.count() < 0 ? -1 : static_cast<int>(timeout.count()));
    if (waited > 0 && (ready[0].revents & POLLIN) != 0) {
        std::uint64_t drained;
        while (read(static_cast<int>(wake), &drained, sizeof drained) < 0 && errno == EINTR) {
        }
    }
}

bool await_exit(const Process& process, std::chrono::milliseconds limit) noexcept {
    // The host's end of the control channel closes as it exits.
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        pollfd control{process.control.fd, POLLIN, 0};
        const int ready = poll(&control, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
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
