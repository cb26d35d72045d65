// open, close, runMode, stopMode, downLoad: arguments in place, the open selector, each failure
// line, and the download text's borrow.
#include "support.h"

#include "control/simctl.h"

namespace morlane_test {
namespace {

class LinkControlTest : public BridgeTest {
  protected:
    void SetUp() override {
        BridgeTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        start();
        forget();
    }
};

TEST_F(LinkControlTest, OpenTranslatesTheSelectorAndKeepsTheOtherArgumentsInPlace) {
    const struct {
        jint selector;
        int handed_on;
    } cases[] = {{0, 110}, {1, 111}, {2, 101}, {3, 3}, {-1, -1}, {110, 110}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.selector);
        forget();
        simctl_script_status("CVDLLRZ_Open", 0);
        EXPECT_EQ(run([&] { api().open(env(), nullptr, 5, 17, c.selector, 123456, -3); }), "");
        EXPECT_EQ(journal(), std::vector<std::string>{"CVDLLRZ_Open 5 17 " +
                                                      std::to_string(c.handed_on) + " 123456 -3"});
    }
}

TEST_F(LinkControlTest, AnyNonZeroStatusWritesTheOperationsLineOnce) {
    const struct {
        const char* entry;
        std::function<void()> call;
        std::string journaled;
        const char* line;
    } ops[] = {
        {"CVDLLRZ_Open", [&] { api().open(env(), nullptr, 2, 3, 1, 4, 5); },
         "CVDLLRZ_Open 2 3 111 4 5", "in DLL: Open Error\n"},
        {"CVDLLRZ_Close", [&] { api().close(env(), nullptr, 6); }, "CVDLLRZ_Close 6",
         "in DLL: Close Error\n"},
        {"CVDLLRZ_RunMode", [&] { api().runMode(env(), nullptr, 6, 7); }, "CVDLLRZ_RunMode 6 7",
         "in DLL: Run Error\n"},
        {"CVDLLRZ_StopMode", [&] { api().stopMode(env(), nullptr, -6, 8); },
         "CVDLLRZ_StopMode -6 8", "in DLL: Stop Error\n"},
        {"CVDLLRZ_DownLoad", [&] { api().downLoad(env(), nullptr, 4, 9, jvm.string("a.mot")); },
         "CVDLLRZ_DownLoad 4 9 " + hex("a.mot"), "in DLL: Download Error\n"},
    };
    for (const auto& op : ops) {
        for (int status : {1, -1, 0x7fffffff, 0}) {
            SCOPED_TRACE(std::string(op.entry) + " status " + std::to_string(status));
            forget();
            simctl_script_status(op.entry, status);
            EXPECT_EQ(run(op.call), status == 0 ? "" : op.line);
            EXPECT_EQ(journal(), std::vector<std::string>{op.journaled});
        }
    }
}

TEST_F(LinkControlTest, DownloadLendsTheModifiedUtf8BytesForTheCallOnly) {
    // e-acute, U+0000 and U+1F600 as the JVM encodes them: two bytes, C0 80, and two surrogates.
    const std::string name = "d\xc3\xa9p\xc0\x80t\xed\xa0\xbd\xed\xb8\x80.mot";
    for (int status : {0, 1}) {
        SCOPED_TRACE(status);
        forget();
        simctl_script_status("CVDLLRZ_DownLoad", status);
        const std::string out =
            run([&] { api().downLoad(env(), nullptr, 1, 2, jvm.string(name)); });
        EXPECT_EQ(out, status == 0 ? "" : "in DLL: Download Error\n");
        EXPECT_EQ(journal(), std::vector<std::string>{"CVDLLRZ_DownLoad 1 2 " + hex(name)});
        EXPECT_EQ(jvm.count(Host::GetStringUTFChars), 1);
        EXPECT_EQ(jvm.count(Host::ReleaseStringUTFChars), 1);
        EXPECT_EQ(journal_at_first(Host::GetStringUTFChars), 0) << "borrowed after the call";
        EXPECT_EQ(journal_at_first(Host::ReleaseStringUTFChars), 1) << "given back before the call";
    }
}

TEST_F(LinkControlTest, NullDownloadTextIsNotSent) {
    EXPECT_EQ(run([&] { api().downLoad(env(), nullptr, 1, 2, nullptr); }),
              "in DLL: Download Error\n");
    EXPECT_EQ(journal(), std::vector<std::string>{});
    EXPECT_EQ(jvm.count(Host::GetStringUTFChars), 0);
}

TEST_F(LinkControlTest, DownloadTextTheHostCannotProduceIsNotSent) {
    for (const std::string exception : {"", "java/lang/OutOfMemoryError"}) {
        SCOPED_TRACE(exception);
        forget();
        jvm.fail(Host::GetStringUTFChars, 0, exception);
        EXPECT_EQ(run([&] { api().downLoad(env(), nullptr, 1, 2, jvm.string("a.mot")); }),
                  "in DLL: Download Error\n");
        EXPECT_EQ(journal(), std::vector<std::string>{});
        // Only cvRequest clears exceptions; this one must reach the Java caller.
        EXPECT_EQ(jvm.pending_exception(), exception);
        jvm.clear_exception();
    }
}

} // namespace
} // namespace morlane_test
