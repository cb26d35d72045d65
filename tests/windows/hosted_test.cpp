// What only Windows can show about the host process that serves 32-bit libraries to the 64-bit
// bridge. Run under a 64-bit Wine prefix with the 32-bit simulated libraries on the DLL search
// path, so that loading them in process fails with ERROR_BAD_EXE_FORMAT; the simulated libraries'
// state is shared with the host through MORLANE_SIMCTL_STATE. The same calls, made hosted, are
// checked value by value by the native suite; this is about the process around them:
//
//   Hosted.*    a library that crashes inside a call; the host's inherited handles; the host
//               ending with the process that started it, and the library's processes not
//   NoHost.*    a bridge with no morlane-host32.exe beside it (MORLANE_BRIDGE_LIBRARY names it)
//   NonAscii.*  a bridge and host in a folder whose name is outside every ANSI code page
//   Launcher.*  from a JVM launcher's stand-in (jvm_stand_in.cpp) in a folder of its own: which
//               library the host loads (the file a 32-bit JVM's search finds, from each of the
//               places it searches, never the one beside the host); the code page a hosted
//               reply is decoded in
//
// Each group runs in a process of its own (ctest gives the filter).
#include <windows.h>

#include <tlhelp32.h>

#include "control/simctl.h"
#include "support.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace morlane_test {
namespace {

const char kDllNotFound[] = "in DLL: DLL not found.\n";
const char kHoldArgument[] = "--hold-a-host";
const char kIdleArgument[] = "--idle";

// The morlane-host32.exe processes started by process `parent`.
std::vector<DWORD> hosts_of(DWORD parent) {
    std::vector<DWORD> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return found;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID == parent &&
            _wcsicmp(entry.szExeFile, L"morlane-host32.exe") == 0) {
            found.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return found;
}

// Whether `process` holds, at the value `ours` has here, the very event `ours` names. A handle of
// the same value that is missing, or names anything else, does not follow the event's state.
bool holds_our_event(HANDLE process, HANDLE ours) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(process, ours, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return false;
    }
    SetEvent(ours);
    const bool set = WaitForSingleObject(copy, 0) == WAIT_OBJECT_0;
    ResetEvent(ours);
    const bool reset = WaitForSingleObject(copy, 0) == WAIT_TIMEOUT;
    CloseHandle(copy);
    return set && reset;
}

// Whether every host of this process is gone within `milliseconds`: a process that ended may
// still be listed for a moment.
bool hosts_gone(DWORD milliseconds) {
    for (DWORD waited = 0; !hosts_of(GetCurrentProcessId()).empty(); waited += 10) {
        if (waited >= milliseconds) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

std::wstring folder_of(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring widen(const char* text) {
    std::wstring wide;
    for (; *text != '\0'; ++text) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    }
    return wide;
}

std::wstring this_program() {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return std::wstring(path, length);
}

// ---- Hosted -------------------------------------------------------------------------------------

using Hosted = BridgeTest;
using NoHost = BridgeTest;

// A library that crashes inside a call takes only its host with it: the call ends with the
// operation's own failure line and result, the slot is empty, and a new start starts a new host.
// (What each operation reports after a crash is the JVM suite's; here it is the Windows host.)
TEST_F(Hosted, CrashInsideACallEndsOnlyTheHostAndTheCallFailsAsItsOperationDoes) {
    const std::map<std::string, std::string> lines = {{"regRead(new)", "in DLL: RegRead Error\n"},
                                                      {"cvRequest", "in DLL: Read error\n"}};
    for (const Operation& op : operations()) {
        if (lines.count(op.method) == 0) {
            continue;
        }
        SCOPED_TRACE(op.method);
        op.corvane ? cv_start() : start();
        ASSERT_EQ(hosts_of(GetCurrentProcessId()).size(), 1u) << "no host serves the slot";
        forget();
        simctl_script_crash(op.entry);
        std::string result;
        EXPECT_EQ(run([&] { result = op.call(api(), jvm); }), lines.at(op.method));
        EXPECT_EQ(result, op.failure_result);
        // The call reached the library in the host before it crashed.
        const std::vector<std::string> reached = journal();
        ASSERT_EQ(reached.size(), 1u);
        EXPECT_EQ(reached[0].rfind(op.entry, 0), 0u) << reached[0];
        EXPECT_TRUE(hosts_gone(5000)) << "the crashed host is still there";

        forget();
        EXPECT_EQ(run([&] { result = op.call(api(), jvm); }), kDllNotFound);
        EXPECT_EQ(journal(), std::vector<std::string>{});

        // A new start, a new host, and the same call goes through.
        op.corvane ? cv_start() : start();
        forget();
        run([&] { result = op.call(api(), jvm); });
        EXPECT_EQ(journal().size(), 1u);
        op.corvane ? cv_finish() : finish();
        op.corvane ? cv_finish() : finish(); // the crashed load: the slot was emptied, so nothing
    }
    EXPECT_TRUE(hosts_gone(5000));
}

// The host inherits its two control pipe ends and nothing else of this process, even a handle
// made inheritable on purpose; a plain CreateProcess with inheritance would have passed it on.
// Each calling thread's calls reach the library on one host thread of its own, as they would in
// process, a call too large for its mailbox included; a thread that has ended is seen by its
// handle within moments, and the host thread serving it ends.
TEST_F(Hosted, EachThreadsCallsReachTheLibraryOnOneThreadOfItsOwn) {
    cv_start();
    const auto library_thread = [this] {
        fakejni::FakeJvm on;
        const jstring reply =
            api().cvRequest(on.env(), nullptr, on.string("sim"), on.string("thread"));
        return on.text(reply);
    };
    const auto host_threads = [] {
        const std::vector<DWORD> hosts = hosts_of(GetCurrentProcessId());
        int count = 0;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Thread32First(snapshot, &entry); more;
             more = Thread32Next(snapshot, &entry)) {
            count += hosts.size() == 1 && entry.th32OwnerProcessID == hosts[0] ? 1 : 0;
        }
        CloseHandle(snapshot);
        return count;
    };
    const int idle = host_threads();
    std::string first[2];
    std::string second;
    std::thread one([&] {
        first[0] = library_thread();
        fakejni::FakeJvm on;
        const std::string large = "thread:" + std::string(100000, 'x');
        first[1] = on.text(
            api().cvRequest(on.env(), nullptr, on.string("sim"), on.string(large)));
        std::thread([&] { second = library_thread(); }).join();
    });
    one.join();
    EXPECT_EQ(first[0], first[1]);
    EXPECT_NE(first[0], second);
    EXPECT_EQ(library_thread(), library_thread()) << "this thread's own calls";
    // The mailboxes of the two threads that ended are closed within a second or two: only this
    // thread's host thread is left beside the idle host's.
    for (int i = 0; i < 300 && host_threads() != idle + 1; ++i) {
        Sleep(10);
    }
    EXPECT_EQ(host_threads(), idle + 1);
}

TEST_F(Hosted, HostInheritsNoOtherHandleOfThisProcess) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE event = CreateEventW(&inheritable, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);

    start();
    const std::vector<DWORD> hosts = hosts_of(GetCurrentProcessId());
    ASSERT_EQ(hosts.size(), 1u);
    HANDLE host = OpenProcess(PROCESS_DUP_HANDLE | SYNCHRONIZE, FALSE, hosts[0]);
    ASSERT_NE(host, nullptr);
    EXPECT_FALSE(holds_our_event(host, event)) << "the host inherited a handle of the JVM";
    CloseHandle(host);

    // The check itself: a child started the ordinary way does hold the event.
    std::wstring program = folder_of(widen(MORLANE_BRIDGE_PATH)) + L"morlane-host32.exe";
    std::wstring line = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE,
                               CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                               &child));
    EXPECT_TRUE(holds_our_event(child.hProcess, event));
    TerminateProcess(child.hProcess, 0);
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    CloseHandle(event);
}

// The host never outlives the process that started it: that process is killed outright, as a JVM
// may be, with the host busy inside a call, and the host is gone.
TEST_F(Hosted, HostEndsWhenItsProcessIsKilled) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE ready_read = nullptr, ready_write = nullptr;
    ASSERT_TRUE(CreatePipe(&ready_read, &ready_write, &inheritable, 0));
    SetHandleInformation(ready_read, HANDLE_FLAG_INHERIT, 0);

    std::wstring program = this_program();
    std::wstring line = L"\"" + program + L"\" " + widen(kHoldArgument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = ready_write;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                               nullptr, &startup, &child));
    CloseHandle(ready_write);
    CloseHandle(child.hThread);

    char word[8] = {};
    DWORD got = 0;
    const bool ready = ReadFile(ready_read, word, 5, &got, nullptr) && got == 5;
    CloseHandle(ready_read);
    const std::vector<DWORD> hosts = hosts_of(child.dwProcessId);
    HANDLE host = hosts.size() == 1
                      ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, hosts[0])
                      : nullptr;
    BOOL in_job = FALSE;
    const bool asked = host != nullptr && IsProcessInJob(host, nullptr, &in_job);
    const DWORD why = GetLastError();

    TerminateProcess(child.hProcess, 9);
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hProcess);
    ASSERT_TRUE(ready && std::memcmp(word, "ready", 5) == 0) << "the child did not start a host";
    ASSERT_NE(host, nullptr) << hosts.size() << " hosts under the child";
    EXPECT_TRUE(asked) << "IsProcessInJob failed: " << why;
    EXPECT_TRUE(in_job) << "the host runs outside a job";
    EXPECT_EQ(WaitForSingleObject(host, 20000), WAIT_OBJECT_0) << "the host outlived its parent";
    CloseHandle(host);
}

// A process the library starts leaves the host's job, as it would never be in one in process: it
// outlives the host's release. (Started here with the host as its parent, which is what a
// CreateProcess inside the library does.)
TEST_F(Hosted, ProcessesTheLibraryStartsOutliveTheHost) {
    start();
    const std::vector<DWORD> hosts = hosts_of(GetCurrentProcessId());
    ASSERT_EQ(hosts.size(), 1u);
    HANDLE host = OpenProcess(PROCESS_CREATE_PROCESS, FALSE, hosts[0]);
    ASSERT_NE(host, nullptr);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> memory(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(memory.data());
    ASSERT_TRUE(InitializeProcThreadAttributeList(list, 1, 0, &size));
    ASSERT_TRUE(UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &host,
                                          sizeof host, nullptr, nullptr));
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = list;
    const std::wstring program = this_program();
    std::wstring line = L"\"" + program + L"\" " + widen(kIdleArgument);
    PROCESS_INFORMATION child{};
    const bool started = CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE,
                                        EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup.StartupInfo, &child) != FALSE;
    DeleteProcThreadAttributeList(list);
    CloseHandle(host);
    ASSERT_TRUE(started) << GetLastError();
    BOOL in_job = TRUE;
    EXPECT_TRUE(IsProcessInJob(child.hProcess, nullptr, &in_job));
    EXPECT_FALSE(in_job) << "the library's process stays in the host's job";
    finish();
    EXPECT_TRUE(hosts_gone(5000));
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 0), WAIT_TIMEOUT) << "ended with the host";
    TerminateProcess(child.hProcess, 0);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
}

// What the field check reads on a user's PC comes from the stand-in inside the host: its process,
// its job, its token, its code page and its manifest, as the host sees them itself.
TEST_F(Hosted, TheStandInReportsTheHostProcessItRunsIn) {
    cv_start();
    const std::vector<DWORD> hosts = hosts_of(GetCurrentProcessId());
    ASSERT_EQ(hosts.size(), 1u);
    fakejni::FakeJvm on;
    const std::string self =
        "\n" + on.text(api().cvRequest(on.env(), nullptr, on.string("sim"), on.string("self")));
    for (const std::string& line :
         {std::string("stand-in=morlane-stand-in/1"), std::string("file=CVDAlib.dll"),
          "pid=" + std::to_string(hosts[0]), "ppid=" + std::to_string(GetCurrentProcessId()),
          std::string("job=1"), std::string("virtualized=0"), std::string("manifest=asInvoker"),
          "acp=" + std::to_string(GetACP())}) {
        EXPECT_NE(self.find("\n" + line + "\n"), std::string::npos) << line << " in" << self;
    }
}

// ---- NoHost -------------------------------------------------------------------------------------

// Without morlane-host32.exe beside the bridge a start is as silent as a failed load, and the
// slot stays empty; the reason kept for Java names both failures with Windows' own numbers.
TEST_F(NoHost, StartIsSilentAndBothSlotsStayEmpty) {
    const char* bridge = std::getenv("MORLANE_BRIDGE_LIBRARY");
    ASSERT_TRUE(bridge != nullptr && *bridge != '\0') << "MORLANE_BRIDGE_LIBRARY not set";
    const std::wstring host = folder_of(widen(bridge)) + L"morlane-host32.exe";
    ASSERT_EQ(GetFileAttributesW(host.c_str()), INVALID_FILE_ATTRIBUTES)
        << "there is a host beside " << bridge;

    start();
    cv_start();
    EXPECT_TRUE(hosts_of(GetCurrentProcessId()).empty());
    const jstring reason = api().linkLoadFailure(env(), nullptr);
    ASSERT_NE(reason, nullptr);
    const std::string ascii = jvm.text(reason);
    // ERROR_BAD_EXE_FORMAT in this process, ERROR_FILE_NOT_FOUND for the host.
    EXPECT_EQ(ascii.rfind("in process: CVDLL1RZ1.dll: error 193", 0), 0u) << ascii;
    EXPECT_NE(ascii.find("; hosted: not found: "), std::string::npos) << ascii;
    EXPECT_NE(ascii.find("morlane-host32.exe: error 2"), std::string::npos) << ascii;
    // The bridge asked the jar's loader, which this program lacks, to put the host back.
    EXPECT_EQ(jvm.count(Host::GetStaticMethodID), 2);
    EXPECT_FALSE(jvm.exception_pending());
    forget();
    EXPECT_EQ(run([&] { api().close(env(), nullptr, 0); }), kDllNotFound);
    EXPECT_EQ(journal(), std::vector<std::string>{});
    EXPECT_EQ(simctl_loaded("CVDLL1RZ1.dll"), 0);
    EXPECT_EQ(simctl_loaded("CVDAlib.dll"), 0);
    EXPECT_EQ(jvm.violations(), std::vector<std::string>{});
}

// A loader that cannot put the host back says why: its word ends the reason, and asking it
// leaves no borrow, no exception and no broken rule behind.
TEST_F(NoHost, TheJarLoadersWordEndsTheReason) {
    jvm.answer_static_calls("the cache folder was cleaned");
    start();
    const std::string reason = jvm.text(api().linkLoadFailure(env(), nullptr));
    const std::string word = "morlane-host32.exe: error 2";
    const std::size_t at = reason.find(word);
    EXPECT_NE(at, std::string::npos) << reason;
    EXPECT_EQ(reason.substr(reason.find("; ", at)), "; the cache folder was cleaned") << reason;
    EXPECT_EQ(jvm.count(Host::CallStaticObjectMethod), 1);
    EXPECT_EQ(jvm.outstanding(), 0u);
    EXPECT_FALSE(jvm.exception_pending());
    EXPECT_EQ(jvm.violations(), std::vector<std::string>{});
}

// ---- NonAscii -----------------------------------------------------------------------------------

template <typename Fn> Fn exported(HMODULE bridge, const char* method) {
    const std::string name = std::string("Java_lathwork_Brenmoor_") + method;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(bridge, name.c_str())));
}

// A copy of the built bridge and host in `folder`, loaded from there.
struct CopiedBridge {
    HMODULE module = nullptr;
    decltype(&Java_lathwork_Brenmoor_start) start = nullptr;
    decltype(&Java_lathwork_Brenmoor_finish) finish = nullptr;
    decltype(&Java_lathwork_Brenmoor_open) open = nullptr;
    decltype(&Java_lathwork_Brenmoor_close) close = nullptr;
};

// Empty when the copy is loaded, else what went wrong.
std::string copy_and_load(const std::wstring& folder, CopiedBridge& bridge) {
    const std::wstring built = folder_of(widen(MORLANE_BRIDGE_PATH));
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const std::wstring& source : {built + L"morlane.dll", built + L"morlane-host32.exe"}) {
        const std::wstring target = folder + source.substr(source.find_last_of(L"\\/") + 1);
        if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) {
            return "copy failed: " + std::to_string(GetLastError());
        }
    }
    bridge.module = LoadLibraryW((folder + L"morlane.dll").c_str());
    if (bridge.module == nullptr) {
        return "LoadLibraryW failed: " + std::to_string(GetLastError());
    }
    wchar_t loaded[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(bridge.module, loaded, MAX_PATH * 4);
    if (std::wstring(loaded, length) != folder + L"morlane.dll") {
        return "another morlane.dll was loaded";
    }
    bridge.start = exported<decltype(bridge.start)>(bridge.module, "start");
    bridge.finish = exported<decltype(bridge.finish)>(bridge.module, "finish");
    bridge.open = exported<decltype(bridge.open)>(bridge.module, "open");
    bridge.close = exported<decltype(bridge.close)>(bridge.module, "close");
    if (!bridge.start || !bridge.finish || !bridge.open || !bridge.close) {
        return "exports missing";
    }
    return "";
}

template <typename Call> std::string captured(Call&& call) {
    capture::StdoutCapture capture;
    call();
    return capture.finish();
}

// The bridge finds and starts its host through the wide-character API: a copy of both in a
// folder named in Greek and Chinese, which no ANSI code page can spell, works; once a host was
// started, the bridge outlives its last FreeLibrary.
TEST(NonAscii, HostStartsFromAFolderNamedOutsideTheAnsiCodePage) {
    const std::wstring folder = folder_of(this_program()) + L"\x03bc\x03bf\x03c1-\x6865\\";
    CopiedBridge bridge;
    ASSERT_EQ(copy_and_load(folder, bridge), "");

    fakejni::FakeJvm jvm;
    simctl_reset();
    bridge.start(jvm.env(), nullptr);
    const std::vector<DWORD> hosts = hosts_of(GetCurrentProcessId());
    ASSERT_EQ(hosts.size(), 1u) << "no host started from the copy";
    HANDLE host = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, hosts[0]);
    ASSERT_NE(host, nullptr);
    wchar_t image[MAX_PATH * 4];
    DWORD image_length = MAX_PATH * 4;
    ASSERT_TRUE(QueryFullProcessImageNameW(host, 0, image, &image_length));
    CloseHandle(host);
    EXPECT_EQ(std::wstring(image, image_length), folder + L"morlane-host32.exe");

    // Link 5 was never opened, so the library reports failure: the call reached it.
    EXPECT_EQ(captured([&] { bridge.close(jvm.env(), nullptr, 5); }), "in DLL: Close Error\n");
    EXPECT_EQ(simjournal::line(0), "CVDLLRZ_Close 5");
    bridge.finish(jvm.env(), nullptr);
    EXPECT_TRUE(hosts_gone(5000)) << "the host outlived the last finish";
    // Its warden thread still runs the bridge's code: the bridge stays, however often freed.
    FreeLibrary(bridge.module);
    EXPECT_EQ(GetModuleHandleW((folder + L"morlane.dll").c_str()), bridge.module);
}

// ---- Launcher -----------------------------------------------------------------------------------

std::wstring system_folder(UINT(WINAPI* get)(LPWSTR, UINT)) {
    wchar_t folder[MAX_PATH];
    const UINT length = get(folder, MAX_PATH);
    return std::wstring(folder, length) + L"\\";
}

std::string narrow(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<char>(c));
    }
    return bytes;
}

// Runs the JVM's stand-in copied into `launcher`, in `current`, with PATH `path`, the bridge
// `bridge` (empty: the build's) and `argument`; its output, as it reads in text mode.
std::string run_stand_in(const std::wstring& launcher, const std::wstring& current,
                         const std::wstring& path, const std::wstring& bridge,
                         const std::wstring& argument = L"") {
    const std::wstring program = launcher + L"jvm_stand_in.exe";
    std::wstring line = L"\"" + program + L"\" " + argument;
    CopyFileW(widen(MORLANE_STAND_IN_PATH).c_str(), program.c_str(), FALSE);
    SetEnvironmentVariableW(L"PATH", path.c_str());
    SetEnvironmentVariableW(L"MORLANE_BRIDGE_LIBRARY", bridge.empty() ? nullptr : bridge.c_str());
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE out_read = nullptr, out_write = nullptr;
    CreatePipe(&out_read, &out_write, &inheritable, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out_write;
    PROCESS_INFORMATION child{};
    // Not started, it says nothing, and every comparison shows it.
    CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                   current.c_str(), &startup, &child);
    CloseHandle(out_write);
    std::string output;
    char c = 0;
    DWORD got = 0;
    while (ReadFile(out_read, &c, 1, &got, nullptr) && got == 1) {
        output += c == '\r' ? "" : std::string(1, c);
    }
    for (HANDLE handle : {out_read, child.hThread, child.hProcess}) {
        CloseHandle(handle);
    }
    return output;
}

// The bridge looks for the library where a 32-bit JVM's LoadLibraryA would find it, in that
// order, and the host loads exactly that file by its full path, its imports from beside it. Each
// place gets the full 32-bit link library and its simctl.dll, and a later place (PATH) the
// variant lacking CVDLLRZ_Open (lacking-even) and no simctl.dll: the open reaches the library only
// when the earlier place won and the library's own folder served its import. SysWOW64 gets no
// rival: there the 64-bit process's own load fails with ERROR_MOD_NOT_FOUND, not
// ERROR_BAD_EXE_FORMAT, and a host must start all the same. Beside the host, the user's cache,
// nothing is ever taken: neither the library nor (a broken simctl.dll) its import. A 64-bit library
// found first is passed over, as the 32-bit loader passes it over; with no 32-bit one at all no
// host starts, and the reason names what was skipped and searched. With safe DLL search mode off
// the current folder comes right after the program's, and a JVM's SetDllDirectory folder takes
// the current folder's place. A library beside the program, or in that folder, that loads a
// companion from there by bare name, when called, finds it. Runs alone (RUN_SERIAL): it puts files
// into the prefix's system folders and its registry, which every hosted test searches.
TEST(Launcher, TheHostLoadsTheFileA32BitJvmWouldLoad) {
    const std::wstring base = folder_of(this_program()) + L"search\\";
    const std::wstring launcher = base + L"launcher\\";
    const std::wstring current = base + L"current\\";
    const std::wstring cache = base + L"cache\\";
    const std::wstring nowhere = base + L"nowhere";
    const std::wstring sim32 = L"Z:" + widen(MORLANE_SIM32_PATH) + L"\\";
    const std::wstring rival = sim32 + L"lacking-even";
    const std::wstring built = folder_of(widen(MORLANE_BRIDGE_PATH));
    const std::wstring wow64 = system_folder(GetSystemWow64DirectoryW);
    const std::wstring windows = system_folder(GetWindowsDirectoryW);
    for (const std::wstring& folder :
         {base, launcher, current, cache, nowhere + L"\\", windows + L"System", base + L"dll"}) {
        CreateDirectoryW(folder.c_str(), nullptr);
    }
    const auto library_in = [&](const std::wstring& folder) {
        return std::vector<std::wstring>{sim32 + L"CVDLL1RZ1.dll", folder + L"CVDLL1RZ1.dll",
                                         sim32 + L"simctl.dll", folder + L"simctl.dll"};
    };
    // What the stand-in prints, then the journal's first line.
    const std::string opened = "mode 2\nCVDLLRZ_Open 1 2 110 100 3";
    const std::string not_loaded = std::string("\n") + kDllNotFound + kDllNotFound + "<none>";
    struct Case {
        const char* name;
        std::vector<std::wstring> copies; // source, target, ...
        std::wstring path;
        std::wstring bridge;
        std::string seen;
        bool unsafe_search = false;             // SafeDllSearchMode 0
        const wchar_t* dll_directory = nullptr; // the JVM's SetDllDirectory folder
    };
    const std::wstring dll_directory = base + L"dll";
    const std::wstring sim64 = L"Z:" + widen(MORLANE_SIM64_PATH) + L"\\CVDLL1RZ1.dll";
    const std::wstring companion = L"Z:" + widen(MORLANE_COMPANION_PATH);
    const std::string searched =
        narrow(launcher.substr(0, launcher.size() - 1) + L"; " + wow64.substr(0, wow64.size() - 1) +
               L"; " + windows + L"System; " + windows.substr(0, windows.size() - 1) + L"; " +
               current.substr(0, current.size() - 1) + L"; " + nowhere);
    const std::vector<Case> cases = {
        {"beside the program", library_in(launcher), rival, L"", opened},
        {"the 32-bit system folder", library_in(wow64), nowhere, L"", opened},
        {"the 16-bit system folder", library_in(windows + L"System\\"), rival, L"", opened},
        {"the Windows folder", library_in(windows), rival, L"", opened},
        {"the current folder", library_in(current), rival, L"", opened},
        {"beside the host",
         {built + L"morlane.dll", cache + L"morlane.dll", built + L"morlane-host32.exe",
          cache + L"morlane-host32.exe", sim32 + L"CVDLL1RZ1.dll", cache + L"CVDLL1RZ1.dll",
          sim32 + L"CVDAlib.dll", cache + L"simctl.dll"},
         rival + L";" + sim32,
         cache + L"morlane.dll",
         "mode 2\nin DLL: Function not found.\nin DLL: Close Error\nCVDLLRZ_Close 1"},
        {"a 64-bit library first", {sim64, launcher + L"CVDLL1RZ1.dll"}, sim32, L"", opened},
        {"only a 64-bit library",
         {sim64, launcher + L"CVDLL1RZ1.dll"},
         nowhere,
         L"",
         "mode 0\nhosted: no 32-bit CVDLL1RZ1.dll in the folders a 32-bit process searches; "
         "skipped, not 32-bit: " +
             narrow(launcher) + "CVDLL1RZ1.dll; searched: " + searched + not_loaded},
        {"nowhere",
         {},
         nowhere,
         L"",
         "mode 0\nhosted: no CVDLL1RZ1.dll in the folders a 32-bit process searches: " + searched +
             not_loaded},
        {"the current folder, safe search off",
         {sim32 + L"CVDLL1RZ1.dll", current + L"CVDLL1RZ1.dll", sim32 + L"simctl.dll",
          current + L"simctl.dll", rival + L"\\CVDLL1RZ1.dll", windows + L"CVDLL1RZ1.dll"},
         nowhere,
         L"",
         opened,
         true},
        {"a companion beside the program",
         {companion, launcher + L"CVDLL1RZ1.dll", companion, launcher + L"morlane-companion.dll"},
         nowhere,
         L"",
         "mode 2\nin DLL: Function not found.\n<none>"},
        {"a companion in the JVM's DLL folder",
         {companion, dll_directory + L"\\CVDLL1RZ1.dll", companion,
          dll_directory + L"\\morlane-companion.dll"},
         nowhere,
         L"",
         "mode 2\nin DLL: Function not found.\n<none>",
         false,
         dll_directory.c_str()},
    };
    const wchar_t* const session = L"System\\CurrentControlSet\\Control\\Session Manager";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (std::size_t i = 0; i < c.copies.size(); i += 2) {
            EXPECT_TRUE(CopyFileW(c.copies[i].c_str(), c.copies[i + 1].c_str(), FALSE))
                << narrow(c.copies[i + 1]);
        }
        const DWORD unsafe = 0;
        if (c.unsafe_search) {
            ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, session, L"SafeDllSearchMode", REG_DWORD,
                                      &unsafe, sizeof unsafe),
                      ERROR_SUCCESS);
        }
        SetEnvironmentVariableW(L"MORLANE_STAND_IN_DLL_DIRECTORY", c.dll_directory);
        simctl_reset();
        const std::string printed = run_stand_in(launcher, current, c.path, c.bridge);
        EXPECT_EQ(printed + simjournal::line(0), c.seen);
        if (c.unsafe_search) {
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, session, L"SafeDllSearchMode");
        }
        // The host that loaded them may need a moment to be gone.
        for (std::size_t i = 1; i < c.copies.size(); i += 2) {
            for (int tries = 0; tries < 500 && !DeleteFileW(c.copies[i].c_str()); ++tries) {
                Sleep(10);
            }
        }
    }
}

// A hosted reply that is neither modified nor standard UTF-8 is decoded in the host's ANSI code
// page, the one its library wrote it in, not in the JVM's: the stand-in's manifest makes its own
// UTF-8, while the host has the system's, as this program has.
TEST(Launcher, AHostedReplyIsDecodedInTheHostsCodePage) {
    ASSERT_EQ(GetACP(), 1252u) << "the tests' Wine locale should give the system code page 1252";
    const std::wstring launcher = folder_of(this_program()) + L"search\\launcher\\";
    CreateDirectoryW((folder_of(this_program()) + L"search").c_str(), nullptr);
    CreateDirectoryW(launcher.c_str(), nullptr);
    simctl_reset();
    simctl_script_reply("caf\xe9", 4, 1); // "café" in code page 1252
    EXPECT_EQ(run_stand_in(launcher, launcher, L"Z:" + widen(MORLANE_SIM32_PATH), L"", L"request"),
              "reply caf\xc3\xa9\n");
}

// The child of HostEndsWhenItsProcessIsKilled: starts a host, sends it into a long call, says
// "ready" and waits to be killed.
int hold_a_host() {
    const bridge::Exports& api = bridge::exports();
    if (!api.error.empty()) {
        std::fprintf(stderr, "%s\n", api.error.c_str());
        return 1;
    }
    fakejni::FakeJvm jvm;
    api.start(jvm.env(), nullptr);
    if (hosts_of(GetCurrentProcessId()).size() != 1) {
        return 1;
    }
    simctl_set_delay("CVDLLRZ_Close", 600000);
    HANDLE busy = CreateThread(
        nullptr, 0,
        [](void* a) -> DWORD {
            fakejni::FakeJvm caller;
            static_cast<const bridge::Exports*>(a)->close(caller.env(), nullptr, 0);
            return 0;
        },
        const_cast<bridge::Exports*>(&api), 0, nullptr);
    // The call is inside the library once its journal line is there.
    for (int i = 0; i < 2000 && simctl_journal_count() == 0; ++i) {
        Sleep(5);
    }
    if (busy == nullptr || simctl_journal_count() == 0) {
        return 1;
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ready", 5, &written, nullptr);
    Sleep(INFINITE);
    return 0;
}

} // namespace
} // namespace morlane_test

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], morlane_test::kHoldArgument) == 0) {
        return morlane_test::hold_a_host();
    }
    if (argc == 2 && std::strcmp(argv[1], morlane_test::kIdleArgument) == 0) {
        Sleep(60000);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
