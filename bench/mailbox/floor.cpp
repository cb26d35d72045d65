// The floor mechanism of a hosted call, for the benchmark: a 64-byte message from this JVM to a
// 32-bit echo program and back through a mailbox, with the bridge's own turn protocol
// (host/mailbox.h) and nothing else: no bridge, no library, no checks, no deadline. What a hosted
// call costs above this is the bridge's and the host's own work; what this costs is the protocol
// and the two processes' wake-ups.
#include "host/mailbox.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <jni.h>
#include <spawn.h>
#include <string>
#include <unistd.h>

extern char** environ;

namespace {

using namespace morlane::hosted;

constexpr int kMostBoxes = 2;
constexpr std::uint32_t kMessageBytes = 64;
constexpr int kMessageInts = kMessageBytes / sizeof(std::int32_t);
Mailbox boxes[kMostBoxes];
int box_count = 0;

} // namespace

// Makes `count` mailboxes and starts `echo` on them; 0, or the error number.
extern "C" JNIEXPORT jint JNICALL Java_lathwork_bench_MailboxFloor_start(JNIEnv* env, jclass,
                                                                         jstring echo, jint count) {
    if (box_count != 0 || count < 1 || count > kMostBoxes) {
        return EINVAL;
    }
    const char* path = env->GetStringUTFChars(echo, nullptr);
    if (path == nullptr) {
        return ENOMEM;
    }
    std::string fds[kMostBoxes];
    char* argv[kMostBoxes + 2] = {const_cast<char*>(path)};
    int failed = 0;
    for (int i = 0; i < count && failed == 0; ++i) {
        // The echo program inherits each memfd: nothing else is started while this runs.
        if (!make_mailbox(kMailboxBytes, boxes[i]) ||
            fcntl(static_cast<int>(boxes[i].handle), F_SETFD, 0) != 0) {
            failed = errno != 0 ? errno : ENOMEM;
        }
        fds[i] = std::to_string(boxes[i].handle);
        argv[i + 1] = fds[i].data();
    }
    pid_t pid = 0;
    if (failed == 0) {
        failed = posix_spawn(&pid, path, nullptr, nullptr, argv, environ);
    }
    env->ReleaseStringUTFChars(echo, path);
    for (int i = 0; i < count; ++i) {
        if (boxes[i].handle >= 0) { // the mapping stays
            close(static_cast<int>(boxes[i].handle));
            boxes[i].handle = -1;
        }
    }
    box_count = failed == 0 ? count : 0;
    return failed;
}

// One round trip in mailbox `box` of the message seed, seed + 1, ..., seed + 15; gives back the
// sum of what came back.
extern "C" JNIEXPORT jint JNICALL Java_lathwork_bench_MailboxFloor_echo(JNIEnv*, jclass, jint box,
                                                                        jint seed) {
    const Mailbox& b = boxes[box];
    std::uint32_t message[kMessageInts];
    for (int i = 0; i < kMessageInts; ++i) {
        message[i] = static_cast<std::uint32_t>(seed) + static_cast<std::uint32_t>(i);
    }
    std::memcpy(b.at(kDataOffset), message, kMessageBytes);
    if (hand_request_over(b) == Handed::No) {
        return -1;
    }
    await_turn(
        b, Side::Bridge, [](std::uint32_t t) { return t == turn::kBridge; },
        std::chrono::steady_clock::time_point::max());
    std::memcpy(message, b.at(kDataOffset + kMessageBytes), kMessageBytes);
    std::uint32_t sum = 0;
    for (int i = 0; i < kMessageInts; ++i) {
        sum += message[i];
    }
    return static_cast<jint>(sum);
}
