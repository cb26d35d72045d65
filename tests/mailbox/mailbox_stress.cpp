// The turn protocol of the host's mailboxes against lost wake-ups: two processes (a bridge and a
// host, as fork makes them) pass the turn back and forth in several mailboxes at once, with the
// windows between each look at the turn word and what follows from it widened at random, and
// with little or no spinning, so that nearly every wait ends in a sleep on the word. A lost
// wake-up leaves one side asleep: the bridge's side notices at its deadline and the test fails,
// naming the mailbox and the round.
//
//   morlane_mailbox_stress [rounds per mailbox]
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
thread_local std::minstd_rand race_random{std::random_device{}()};

// A window of nothing, a yield, or a short busy wait: each makes a different interleaving likely.
void race_window() noexcept {
    switch (race_random() % 8) {
    case 0:
        sched_yield();
        break;
    case 1:
    case 2:
        for (unsigned spin = race_random() % 2000; spin > 0; --spin) {
            __asm__ __volatile__("" ::: "memory");
        }
        break;
    default:
        break;
    }
}
} // namespace

#define MORLANE_RACE_WINDOW() race_window()
#include "host/mailbox.h"

using namespace morlane::hosted;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMailboxes = 4;
std::atomic<bool> all_answered{true};

// Spins of 0, 1 or 5 microseconds, so that sleeps are the rule rather than the exception.
std::chrono::microseconds some_spin() {
    static const int spins[] = {0, 0, 1, 5};
    return std::chrono::microseconds(spins[race_random() % 4]);
}

std::uint32_t& counter(const Mailbox& box) {
    return *reinterpret_cast<std::uint32_t*>(box.at(kDataOffset));
}

// The host's side: answers every request by adding one, until the mailbox is closed.
void serve(const Mailbox& box) {
    for (;;) {
        const std::uint32_t t = await_turn(
            box, Side::Host, [](std::uint32_t turn) { return turn != turn::kBridge; },
            Clock::time_point::max(), some_spin());
        if (t != turn::kHost) {
            return;
        }
        ++counter(box);
        hand_over(box, turn::kBridge);
    }
}

// The bridge's side: `rounds` requests, each answered within the deadline; the first round that
// is not, or not correctly, is reported.
bool ask(const Mailbox& box, int index, int rounds) {
    for (int round = 0; round < rounds && all_answered; ++round) {
        counter(box) = static_cast<std::uint32_t>(round);
        if (hand_request_over(box) == Handed::No) {
            std::fprintf(stderr, "mailbox %d round %d: not the bridge's turn\n", index, round);
            return false;
        }
        // A wait that ends only at its deadline found its turn there but was never woken.
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
        const std::uint32_t t = await_turn(
            box, Side::Bridge, [](std::uint32_t turn) { return turn == turn::kBridge; }, deadline,
            some_spin());
        if (t != turn::kBridge || Clock::now() >= deadline) {
            std::fprintf(stderr, "mailbox %d round %d: not woken within 2 s (a lost wake-up)\n",
                         index, round);
            return false;
        }
        if (counter(box) != static_cast<std::uint32_t>(round) + 1) {
            std::fprintf(stderr, "mailbox %d round %d: answer %u\n", index, round, counter(box));
            return false;
        }
    }
    hand_over(box, turn::kClosed);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
    Mailbox boxes[kMailboxes];
    for (Mailbox& box : boxes) {
        if (!make_mailbox(kMailboxBytes, box)) {
            std::perror("make_mailbox");
            return 1;
        }
    }
    const pid_t host = fork();
    if (host < 0) {
        std::perror("fork");
        return 1;
    }
    if (host == 0) {
        // The mappings are shared with the parent across the fork, as a mapped memfd is with a
        // host process.
        std::vector<std::thread> servers;
        for (const Mailbox& box : boxes) {
            servers.emplace_back([&box] { serve(box); });
        }
        for (std::thread& server : servers) {
            server.join();
        }
        _exit(0);
    }
    const Clock::time_point started = Clock::now();
    std::vector<std::thread> askers;
    for (int i = 0; i < kMailboxes; ++i) {
        askers.emplace_back([&, i] {
            if (!ask(boxes[i], i, rounds)) {
                all_answered = false;
            }
        });
    }
    for (std::thread& asker : askers) {
        asker.join();
    }
    if (!all_answered) {
        kill(host, SIGKILL);
    }
    int status = 0;
    waitpid(host, &status, 0);
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
    std::printf("%d mailboxes x %d round trips with widened race windows: %s in %ld ms\n",
                kMailboxes, rounds, all_answered ? "every turn arrived" : "FAILED", ms);
    return all_answered && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
