// libFuzzer target: the host's checking of what the bridge sends it (host/serve.cpp and the
// mailbox handover in host/mailbox_posix.cpp), with a fake library whose
// entry points touch every byte they are entitled to. What must hold, whatever the input:
//   - nothing reads or writes outside the mailbox (each lies in an allocation of exactly its size,
//     so AddressSanitizer sees any access past its end);
//   - a request that is not as the bridge sends it is answered kMalformed, nothing is called and
//     nothing but the reply header changes; any other reaches the named entry point at most once,
//     with its integers, counts and NUL-terminated texts of the announced lengths;
//   - a mailbox handed over the control channel is served exactly when it is a memfd sealed
//     against shrinking of the size claimed, within the limits; every handover is answered.
// Input: u8 mode, u32 size, the 44 bytes of a wire::Request, u16 mask of missing entry points,
// u8 handover. Mode % 3 sizes the mailbox: kMailboxBytes; kDataOffset + size % 128 KiB; the most
// any request needs. Handover bit 0 also hands a memfd over to run_host (bit 1: unsealed; bit 2:
// its size differs from the one claimed) and serves the request through it when taken.
#include "entry/invoke.h"
#include "host/serve.h"

#include "fuzz_input.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace morlane;
using namespace morlane::hosted;

void expect(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_host: %s\n", what);
        std::abort();
    }
}

wire::Request g_request; // the request in hand
std::uint32_t g_missing = 0;
int g_calls = 0;
int g_releases = 0;
int g_module;
volatile std::uint32_t g_sink;

// Gathers a call's arguments back into a Call, by their types.
void take(Call& c, int& ints, int&, std::int32_t v) {
    (c.words != nullptr ? c.count : c.args[ints++]) = v;
}
void take(Call& c, int&, int& texts, const char* text) {
    c.texts[texts++] = text;
}
void take(Call& c, int&, int&, const Word* words) {
    c.words = const_cast<Word*>(words); // written to for a read only
}
void take(Call& c, int&, int&, char* reply) {
    c.reply = reply;
}

int called(Entry entry, const Call& c) {
    ++g_calls;
    expect(g_calls == 1 && static_cast<std::uint32_t>(entry) == g_request.entry,
           "an entry point the request does not name, or twice");
    const Shape& s = shape(entry);
    expect(std::memcmp(c.args, g_request.args, sizeof(std::int32_t) * s.ints) == 0,
           "an integer differs from the request's");
    for (int i = 0; i < s.texts; ++i) {
        expect(std::strlen(c.texts[i]) == g_request.text_bytes[i], "a text's length differs");
    }
    if (s.words != WordFlow::None) {
        expect(c.count == g_request.count, "a word count differs");
        std::uint32_t sum = 0;
        for (std::int32_t i = 0; i < c.count; ++i) {
            sum += c.words[i];
            if (s.words == WordFlow::FromLibrary) {
                c.words[i] = static_cast<Word>(i);
            }
        }
        g_sink = sum; // every word is read
    }
    if (s.reply) {
        // Given no size: the whole area is written, its NUL somewhere in it, or none.
        const std::size_t length =
            static_cast<std::uint32_t>(g_request.args[0]) % (kReplyBytes + 1);
        std::memset(c.reply, 'r', kReplyBytes);
        if (length < kReplyBytes) {
            c.reply[length] = '\0';
        }
    }
    return 7;
}

template <Entry E, typename Fn> struct Stub;
template <Entry E, typename... A> struct Stub<E, int (*)(A...)> {
    static int run(A... a) {
        Call c;
        int ints = 0;
        int texts = 0;
        (take(c, ints, texts, a), ...);
        return called(E, c);
    }
};
template <std::size_t... E> constexpr auto stubs(std::index_sequence<E...>) {
    struct Table {
        void* at[sizeof...(E)];
    };
    return Table{{reinterpret_cast<void*>(
        &Stub<static_cast<Entry>(E), EntryFn<static_cast<Entry>(E)>>::run)...}};
}
const auto kStubs = stubs(std::make_index_sequence<kEntryCount>{});

// The request is one the bridge may send: what the host must not answer kMalformed.
bool sendable(const wire::Request& r) {
    if (r.entry >= static_cast<std::uint32_t>(kEntryCount) ||
        (r.op != wire::kCall && r.op != wire::kLookup)) {
        return false;
    }
    if (r.op == wire::kLookup) {
        return true;
    }
    const Shape& s = shape(static_cast<Entry>(r.entry));
    for (int i = 0; i < kMostTexts; ++i) {
        if (r.text_bytes[i] > (i < s.texts ? wire::kMostTextBytes : 0)) {
            return false;
        }
    }
    const std::int64_t most = s.reply                     ? kReplyBytes
                              : s.words != WordFlow::None ? wire::kMostWords
                                                          : 0;
    return r.count >= (s.reply ? 1 : 0) && r.count <= most;
}

// Serves the request lying in `box` (filled with 'x' past its header) and checks the answer.
void check_served(const Mailbox& box, const std::function<void()>& serve) {
    g_calls = 0;
    std::memcpy(&box.header->request, &g_request, sizeof g_request);
    box.header->sequence = g_request.args[1] ^ 0x5a5a;
    serve();
    wire::Reply reply;
    std::memcpy(&reply, &box.header->reply, sizeof reply);
    expect(reply.sequence == box.header->sequence, "a reply that does not name its request");
    const bool missing = g_request.entry < 32 && (g_missing >> g_request.entry & 1u) != 0;
    if (reply.reach == wire::kMalformed) {
        expect(g_calls == 0, "a malformed request called the library");
        expect(box.bytes < kMostMailboxBytes || !sendable(g_request),
               "a request the bridge sends was answered kMalformed");
        static const std::string xs(kMostMailboxBytes, 'x');
        expect(std::memcmp(box.at(kDataOffset), xs.data(), box.bytes - kDataOffset) == 0,
               "a malformed request changed the mailbox");
        return;
    }
    expect(sendable(g_request), "a request the bridge never sends was not answered kMalformed");
    if (reply.reach == wire::kCalled) {
        expect(g_calls == 1 && !missing && g_request.op == wire::kCall && reply.status == 7,
               "kCalled without the call");
        return;
    }
    expect(g_calls == 0 && reply.payload_bytes == 0, "called, yet not answered kCalled");
    expect(reply.reach ==
               (g_request.op == wire::kLookup && !missing ? wire::kFound : wire::kMissing),
           "the wrong answer to a lookup or a missing entry point");
}

// Hands a memfd over to run_host as the bridge does and, when it is served, the request in it.
void check_handover(std::uint32_t bytes, std::uint8_t how) {
    int ends[2];
    expect(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
    int code = -1;
    std::thread host([&] { code = run_host("library", Channel{ends[1]}); });
    const Channel bridge{ends[0]};
    wire::LoadAnswer answer{};
    expect(read_all(bridge, &answer, sizeof answer) && answer.answer == wire::kLoaded, "loaded");
    const bool sealed = (how & 2) == 0;
    const std::uint32_t real = (how & 4) != 0 ? bytes + 8 : bytes;
    const int fd = memfd_create("fuzz", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    expect(fd >= 0 && ftruncate(fd, real) == 0, "memfd");
    expect(!sealed || fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK) == 0, "seal");
    void* base = mmap(nullptr, real, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    expect(base != MAP_FAILED, "mmap");
    Mailbox box;
    box.header = static_cast<MailboxHeader*>(base);
    box.bytes = real;
    box.header->turn = turn::kBridge;
    std::memset(box.at(kDataOffset), 'x', real - kDataOffset);
    const wire::ControlMessage message{wire::kNewMailbox, 41, bytes};
    wire::ControlAnswer answer_back{};
    expect(send_with_descriptor(bridge, &message, sizeof message, fd) &&
               read_all(bridge, &answer_back, sizeof answer_back) && answer_back.sequence == 41,
           "a handover was not answered as itself");
    const std::uint32_t taken = answer_back.answer;
    close(fd);
    expect((taken == wire::kServing) == (sealed && real == bytes && bytes <= kMostMailboxBytes),
           "a mailbox served exactly when sealed, of the size claimed, within limits");
    if (taken == wire::kServing) {
        check_served(box, [&] {
            hand_request_over(box);
            await_turn(
                box, Side::Bridge, [](std::uint32_t t) { return t != turn::kHost; },
                std::chrono::steady_clock::time_point::max());
        });
        hand_over(box, turn::kClosed);
    }
    const wire::ControlMessage quit{wire::kQuit, 42, 0};
    expect(write_all(bridge, &quit, sizeof quit), "quit");
    host.join();
    expect(code == 0 && g_releases == 1, "the library released once, by kQuit");
    munmap(base, real);
    close(ends[0]);
    close(ends[1]);
}

} // namespace

namespace morlane {

ModuleHandle load_module(const char*, LoadError*) noexcept {
    g_releases = 0;
    return &g_module;
}
void* find_entry(ModuleHandle module, const char* entry) noexcept {
    expect(module == &g_module, "find_entry: not the module loaded");
    for (int e = 0; e < kEntryCount; ++e) {
        if (std::strcmp(entry, kShapes[e].name) == 0) {
            return (g_missing >> e & 1u) != 0 ? nullptr : kStubs.at[e];
        }
    }
    expect(false, "find_entry: a name no entry point has");
    return nullptr;
}
void release_module(ModuleHandle) noexcept {
    ++g_releases;
}

} // namespace morlane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t mode = in.byte() % 3;
    const std::uint32_t claimed = in.u32();
    std::size_t got = 0;
    const std::uint8_t* bytes = in.bytes(sizeof g_request, got);
    g_request = wire::Request{};
    std::memcpy(&g_request, bytes, got);
    g_missing = in.byte() | static_cast<std::uint32_t>(in.byte()) << 8;
    const std::uint8_t how = in.byte();
    const std::uint32_t mailbox = mode == 0   ? kMailboxBytes
                                  : mode == 1 ? kDataOffset + claimed % (128 * 1024)
                                              : kMostMailboxBytes;
    std::unique_ptr<char[]> memory(new char[mailbox]);
    std::memset(memory.get(), 'x', mailbox);
    Mailbox box;
    box.header = reinterpret_cast<MailboxHeader*>(memory.get());
    box.bytes = mailbox;
    check_served(box, [&] { serve_request(box, &g_module); });
    if ((how & 1) != 0 && mode != 2) {
        check_handover(mailbox, how);
    }
    return 0;
}
