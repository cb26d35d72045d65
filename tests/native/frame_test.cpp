// The two library slots: what an operation does with an empty slot, and how start and finish
// count loads.
#include "support.h"

#include "control/simctl.h"

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
