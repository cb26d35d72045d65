// The JNI discipline of every operation, as only a fake JVM can show it: what is borrowed comes
// back on every path and is held only around the library call, a host function that fails stops
// the operation without a JNI call over its exception, and each thread's record of lines is its
// own. What Java sees of the same calls is the JVM suite's.
#include "support.h"

#include "control/simctl.h"

#include <stdexcept>
#include <thread>

namespace morlane_test {
namespace {

const char kDllNotFound[] = "in DLL: DLL not found.\n";
const char kOom[] = "java/lang/OutOfMemoryError";

const Operation& operation(const std::string& method) {
    for (const Operation& op : operations()) {
        if (method == op.method) {
            return op;
        }
    }
    throw std::invalid_argument(method);
}

class Jni : public BridgeTest {
  protected:
    void expect_borrows_around_the_call();
};

// Texts and array elements are taken before the library call; results are delivered and texts
// given back after it, and once the first text is given back nothing else is asked of the JVM.
void Jni::expect_borrows_around_the_call() {
    bool releasing = false;
    for (const Moment& m : timeline()) {
        SCOPED_TRACE(fakejni::host_name(m.host));
        switch (m.host) {
        case Host::GetStringUTFChars:
        case Host::GetArrayLength:
        case Host::GetIntArrayRegion:
            EXPECT_EQ(m.journal, 0) << "taken after the call";
            break;
        case Host::ReleaseStringUTFChars:
        case Host::SetIntArrayRegion:
            EXPECT_EQ(m.journal, 1) << "given back or delivered before the call";
            break;
        default:
            break;
        }
        const bool release = m.host == Host::ReleaseStringUTFChars;
        EXPECT_TRUE(release || !releasing) << "asked of the JVM after a text was given back";
        releasing = releasing || release;
    }
}

TEST_F(Jni, EveryPathGivesBackWhatItBorrowed) {
    for (const char* path : {"empty slot", "success", "failure"}) {
        const bool loaded = path != std::string("empty slot");
        if (loaded) {
            start();
            cv_start();
        }
        for (const Operation& op : operations()) {
            SCOPED_TRACE(std::string(op.method) + ", " + path);
            forget();
            const bool success = path == std::string("success");
            simctl_script_status(op.entry, op.corvane ? (success ? 1 : 2) : (success ? 0 : 1));
            simctl_script_reply("reply", 5, 1);
            run([&] { op.call(api(), jvm); }); // checks the borrows and the JNI rules
            if (loaded) {
                EXPECT_EQ(journal().size(), 1u);
                expect_borrows_around_the_call();
                continue;
            }
            // With the slot empty only a method whose Java result comes first asks the JVM.
            for (Host host : jvm.calls()) {
                EXPECT_TRUE(host == Host::NewIntArray || host == Host::NewStringUTF ||
                            host == Host::ExceptionOccurred)
                    << fakejni::host_name(host) << " called with the slot empty";
            }
            EXPECT_TRUE(!op.failure_result.empty() || jvm.calls().empty());
        }
        if (loaded) {
            finish();
            cv_finish();
        }
    }
}

// A host function that fails, each in turn where an operation calls it. `out` marks each call of
// the failing host function with "<name>", so it shows where the lines fall around the failure.
TEST_F(Jni, HostFunctionThatFailsStopsTheOperationCleanly) {
    struct Case {
        std::string method;
        Host host;
        int succeed_first;
        std::string exception; // what the failing call leaves pending, if anything
        int status;            // of the library, when the call reaches it
        std::string out;
        std::string result;
        bool reached;
        bool left_pending; // the exception is the Java caller's to see
    };
    const std::string text = "<GetStringUTFChars>\n";
    std::vector<Case> cases;
    for (const std::string exception : {"", kOom}) {
        const bool thrown = !exception.empty();
        cases.push_back({"downLoad", Host::GetStringUTFChars, 0, exception, 0,
                         text + "in DLL: Download Error\n", "", false, thrown});
        std::string marks;
        for (int failing = 0; failing < 3; ++failing) {
            marks += text;
            cases.push_back({"cvPoke", Host::GetStringUTFChars, failing, exception, 1,
                             marks + "in DLL: Write error\n", "", false, thrown});
            if (failing < 2) {
                // cvRequest never lets an exception leave it: it reports and clears it.
                cases.push_back({"cvRequest", Host::GetStringUTFChars, failing, exception, 1,
                                 marks + "in DLL: Read error\n" +
                                     (thrown ? "in DLL: Exception Occurred.\n" : ""),
                                 "-1", false, false});
            }
        }
    }
    const std::vector<Case> more = {
        {"regWrite(block)", Host::GetIntArrayRegion, 0, kOom, 0,
         "<GetIntArrayRegion>\nin DLL: RegWrite Error\n", "", false, true},
        {"regRead(new)", Host::NewIntArray, 0, kOom, 0, "<NewIntArray>\n", "null", false, true},
        {"regRead(into)", Host::SetIntArrayRegion, 0, "java/lang/ArrayIndexOutOfBoundsException", 1,
         "<SetIntArrayRegion>\nin DLL: RegRead Error\n", "[9,9,9]", true, true},
        {"regRead(new)", Host::SetIntArrayRegion, 0, kOom, 0, "<SetIntArrayRegion>\n", "[0,0,0]",
         true, true},
        {"cvRequest", Host::NewStringUTF, 0, kOom, 1,
         "<NewStringUTF>\nin DLL: Exception Occurred.\n", "null", true, false},
        {"cvRequest", Host::NewStringUTF, 0, kOom, 2,
         "in DLL: Read error\n<NewStringUTF>\nin DLL: Exception Occurred.\n", "null", true, false},
        {"cvRequest", Host::NewStringUTF, 0, "", 1, "<NewStringUTF>\n", "null", true, false},
    };
    cases.insert(cases.end(), more.begin(), more.end());

    start();
    cv_start();
    for (const Case& c : cases) {
        const Operation& op = operation(c.method);
        SCOPED_TRACE(c.method + ", " + fakejni::host_name(c.host) + " " +
                     std::to_string(c.succeed_first) + " " + c.exception);
        forget();
        simctl_script_status(op.entry, c.status);
        simctl_script_reply("ok", 2, 1);
        jvm.fail(c.host, c.succeed_first, c.exception);
        mark_in_output(c.host);
        std::string result;
        EXPECT_EQ(run([&] { result = op.call(api(), jvm); }), c.out);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(journal().size(), c.reached ? 1u : 0u);
        EXPECT_EQ(jvm.pending_exception(), c.left_pending ? c.exception : "");
        jvm.clear_exception();
    }
}

// Run under Wine too, where each thread's record is the Windows build's own thread_local.
TEST_F(Jni, EachThreadRecordsTheLinesOfItsOwnLatestOperation) {
    using Lines = std::vector<std::string>;
    const auto last_lines = [this](fakejni::FakeJvm& on) {
        return on.strings(api().lastLines(on.env(), nullptr));
    };
    run([&] { api().regWriteValue(env(), nullptr, 0, 0, 0, 1); });
    EXPECT_EQ(last_lines(jvm), Lines{kDllNotFound});

    Lines fresh;
    Lines own;
    std::thread([&] {
        fakejni::FakeJvm other;
        fresh = last_lines(other);
        start();
        run([&] { api().close(other.env(), nullptr, 99); });
        own = last_lines(other);
    }).join();
    EXPECT_EQ(fresh, Lines{});
    EXPECT_EQ(own, Lines{"in DLL: Close Error\n"});
    EXPECT_EQ(last_lines(jvm), Lines{kDllNotFound}) << "another thread's call changed this one's";

    // Every operation starts its thread's record afresh, even one that writes nothing.
    cv_start();
    EXPECT_EQ(last_lines(jvm), Lines{});
    EXPECT_TRUE(jvm.violations().empty()) << jvm.violations().front();
}

} // namespace
} // namespace morlane_test
