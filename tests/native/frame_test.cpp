// The two library slots: what an operation does with an empty slot, and how start and finish
// count loads.
#include "support.h"

#include "control/simctl.h"

#include <thread>

namespace morlane_test {
namespace {

const char kDllNotFound[] = "in DLL: DLL not found.\n";

class FrameTest : public BridgeTest {
  protected:
    // Every operation reports the empty slot, returns its failure result, leaves the outside
    // libraries alone and borrows nothing: only the two methods that make their Java result
    // first may call the host, and only to make it.
    void expect_every_operation_reports_empty_slot() {
        for (const Operation& op : operations()) {
            SCOPED_TRACE(op.method);
            forget();
            std::string result;
            EXPECT_EQ(run([&] { result = op.call(api(), jvm); }), kDllNotFound);
            EXPECT_EQ(result, op.failure_result);
            EXPECT_EQ(journal(), std::vector<std::string>{});
            for (Host host : jvm.calls()) {
                EXPECT_TRUE(host == Host::NewIntArray || host == Host::NewStringUTF ||
                            host == Host::ExceptionOccurred || host == Host::ExceptionCheck)
                    << fakejni::host_name(host) << " called with the slot empty";
            }
            if (op.failure_result.empty()) {
                EXPECT_TRUE(jvm.calls().empty());
            }
        }
    }

    std::string close_link(jint link) {
        return run([&] { api().close(env(), nullptr, link); });
    }
    std::string poke() {
        return run([&] {
            api().cvPoke(env(), nullptr, jvm.string("t"), jvm.string("i"), jvm.string("v"));
        });
    }
};

TEST_F(FrameTest, EveryOperationBeforeStartReportsDllNotFound) {
    expect_every_operation_reports_empty_slot();
}

// Run under Wine too, where the record lives in a Windows TLS slot rather than in thread_local.
TEST_F(FrameTest, EachThreadRecordsTheLinesOfItsOwnLatestOperation) {
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

TEST_F(FrameTest, FinishEmptiesTheSlot) {
    start();
    cv_start();
    finish();
    cv_finish();
    expect_every_operation_reports_empty_slot();
}

TEST_F(FrameTest, SecondStartKeepsTheSameLibraryLoadedAfterOneFinish) {
    start();
    // An open link lives in the loaded library; if it were unloaded and loaded again, the
    // close below would find the link closed and fail.
    ASSERT_EQ(run([&] { api().open(env(), nullptr, 3, 0, 0, 100, 1); }), "");
    start();
    finish();
    forget();
    EXPECT_EQ(close_link(3), "");
    EXPECT_EQ(journal(), std::vector<std::string>{"CVDLLRZ_Close 3"});

    finish();
    forget();
    EXPECT_EQ(close_link(3), kDllNotFound);
    EXPECT_EQ(journal(), std::vector<std::string>{});
}

TEST_F(FrameTest, FinishBeforeStartChangesNothing) {
    finish(); // each helper checks that nothing is written
    cv_finish();
    finish();
    EXPECT_EQ(close_link(0), kDllNotFound);

    // A stray finish must not have left a debt: one start and one finish still pair up.
    start();
    simctl_script_status("CVDLLRZ_Close", 0);
    EXPECT_EQ(close_link(0), "");
    finish();
    EXPECT_EQ(close_link(0), kDllNotFound);
}

TEST_F(FrameTest, TheTwoSlotsAreIndependent) {
    start();
    EXPECT_EQ(poke(), kDllNotFound);
    simctl_script_status("CVDLLRZ_Close", 0);
    EXPECT_EQ(close_link(0), "");

    cv_start();
    EXPECT_EQ(poke(), "");
    finish();
    EXPECT_EQ(close_link(0), kDllNotFound);
    EXPECT_EQ(poke(), "");

    start();
    cv_finish();
    EXPECT_EQ(poke(), kDllNotFound);
    simctl_script_status("CVDLLRZ_Close", 0);
    EXPECT_EQ(close_link(0), "");
}

} // namespace
} // namespace morlane_test
