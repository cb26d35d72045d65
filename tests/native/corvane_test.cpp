// cvPoke and cvRequest: the status rule, the reply area's limits, the exception after the result
// string, and every text given back on every path.
#include "support.h"

#include "control/simctl.h"

#include <algorithm>

namespace morlane_test {
namespace {

const char kStopped[] = "in DLL: Corvane stopped\n";
const char kWriteError[] = "in DLL: Write error\n";
const char kReadError[] = "in DLL: Read error\n";
const char kException[] = "in DLL: Exception Occurred.\n";
const char kOom[] = "java/lang/OutOfMemoryError";

class CorvaneTest : public BridgeTest {
  protected:
    void SetUp() override {
        BridgeTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        cv_start();
        forget();
    }

    std::string poke(jstring topic, jstring item, jstring value) {
        return run([&] { api().cvPoke(env(), nullptr, topic, item, value); });
    }
    std::string poke(const char* topic, const char* item, const char* value) {
        return poke(jvm.string(topic), jvm.string(item), jvm.string(value));
    }
    // The request's Java result ("null" for none) and, in `out`, what it wrote.
    std::string request(jstring topic, jstring item, std::string& out) {
        jstring reply = nullptr;
        out = run([&] { reply = api().cvRequest(env(), nullptr, topic, item); });
        EXPECT_FALSE(jvm.exception_pending()) << "an exception left cvRequest";
        return reply == nullptr ? "null" : jvm.text(reply);
    }
    std::string request(const std::string& topic, const std::string& item, std::string& out) {
        return request(jvm.string(topic), jvm.string(item), out);
    }
    // Texts are lent for the call only: all taken before it and all given back after it.
    void expect_texts_lent_around_the_call(int texts) {
        EXPECT_EQ(jvm.count(Host::GetStringUTFChars), texts);
        EXPECT_EQ(jvm.count(Host::ReleaseStringUTFChars), texts);
        EXPECT_EQ(journal_at_first(Host::GetStringUTFChars), 0);
        EXPECT_EQ(journal_at_first(Host::ReleaseStringUTFChars), 1);
    }
};

TEST_F(CorvaneTest, PokeStatusDecidesTheLine) {
    const struct {
        int status;
        const char* line;
    } cases[] = {{1, ""}, {0, kStopped}, {2, kWriteError}, {-1, kWriteError}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        forget();
        simctl_script_status("CVDA_Poke", c.status);
        EXPECT_EQ(poke("top", "item", "val"), c.line);
        EXPECT_EQ(journal(), std::vector<std::string>{"CVDA_Poke " + hex("top") + " " +
                                                      hex("item") + " " + hex("val")});
        expect_texts_lent_around_the_call(3);
    }
}

TEST_F(CorvaneTest, RequestReturnsTheReplyOnlyOnSuccess) {
    const struct {
        int status;
        const char* line;
        const char* result;
    } cases[] = {
        {1, "", "hello"}, {0, kStopped, "-1"}, {2, kReadError, "-1"}, {-1, kReadError, "-1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        forget();
        // The reply is in the area whatever the status; only success may hand it to Java.
        simctl_script_reply("hello", 5, 1);
        simctl_script_status("CVDA_Request", c.status);
        std::string out;
        EXPECT_EQ(request("top", "item", out), c.result);
        EXPECT_EQ(out, c.line);
        EXPECT_EQ(journal(), std::vector<std::string>{"CVDA_Request " + hex("top") + " " +
                                                      hex("item") + " *"});
        expect_texts_lent_around_the_call(2);
    }
}

TEST_F(CorvaneTest, ReplyAreaLimits) {
    std::string longest;
    for (int i = 0; i < 4095; ++i) {
        longest += static_cast<char>('a' + i % 26);
    }
    const std::string unterminated = longest + "z";
    // e-acute and U+1F600 as modified UTF-8: the bytes reach Java unchanged.
    const std::string non_ascii = "\xc3\xa9\xed\xa0\xbd\xed\xb8\x80";
    const struct {
        std::string reply;
        bool terminate;
        std::string result;
        const char* line;
    } cases[] = {{"", true, "", ""},
                 {longest, true, longest, ""},
                 {non_ascii, true, non_ascii, ""},
                 {unterminated, false, "-1", kReadError}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.size());
        forget();
        simctl_script_reply(c.reply.data(), static_cast<int>(c.reply.size()), c.terminate ? 1 : 0);
        std::string out;
        EXPECT_EQ(request("t", "i", out), c.result);
        EXPECT_EQ(out, c.line);
    }
}

TEST_F(CorvaneTest, SuccessWithoutAReplyWrittenGivesAnEmptyText) {
    // Fill the stack where the reply area lives, then let the library report success for an
    // item it never wrote: Java must get "", not what an earlier call left there.
    const std::string filler(4095, 'R');
    simctl_script_reply(filler.data(), static_cast<int>(filler.size()), 1);
    std::string out;
    ASSERT_EQ(request("t", "i", out), filler);
    simctl_script_status("CVDA_Request", 1); // the unknown item leaves the area untouched
    EXPECT_EQ(request("t", "never poked", out), "");
    EXPECT_EQ(out, "");
}

TEST_F(CorvaneTest, NonAsciiTextsReachTheLibraryAsModifiedUtf8) {
    const std::string a = "\xc3\xa9t\xc3\xa9";
    const std::string b = "n\xc0\x80ul";
    const std::string c = "\xed\xa0\xbd\xed\xb8\x80";
    EXPECT_EQ(poke(a.c_str(), b.c_str(), c.c_str()), "");
    std::string out;
    EXPECT_EQ(request(a, b, out), c);
    EXPECT_EQ(out, "");
    EXPECT_EQ(journal(),
              (std::vector<std::string>{"CVDA_Poke " + hex(a) + " " + hex(b) + " " + hex(c),
                                        "CVDA_Request " + hex(a) + " " + hex(b) + " *"}));
}

TEST_F(CorvaneTest, ExceptionAfterTheResultStringIsReportedAndCleared) {
    mark_in_output(Host::NewStringUTF);
    const struct {
        int status;
        std::string out;
    } cases[] = {{1, std::string("<NewStringUTF>\n") + kException},
                 {2, std::string(kReadError) + "<NewStringUTF>\n" + kException}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        forget();
        simctl_script_reply("ok", 2, 1);
        simctl_script_status("CVDA_Request", c.status);
        jvm.fail(Host::NewStringUTF, 0, kOom);
        std::string out;
        EXPECT_EQ(request("t", "i", out), "null");
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(jvm.count(Host::ExceptionClear), 1);
        // The texts go back only after the result string was made.
        const std::vector<Host>& calls = jvm.calls();
        const auto made = std::find(calls.begin(), calls.end(), Host::NewStringUTF);
        EXPECT_EQ(std::find(calls.begin(), made, Host::ReleaseStringUTFChars), made);
        EXPECT_EQ(jvm.count(Host::ReleaseStringUTFChars), 2);
    }
}

TEST_F(CorvaneTest, ResultStringFailingWithoutExceptionWritesNothingMore) {
    simctl_script_reply("ok", 2, 1);
    jvm.fail(Host::NewStringUTF);
    std::string out;
    EXPECT_EQ(request("t", "i", out), "null");
    EXPECT_EQ(out, "");
    EXPECT_EQ(jvm.count(Host::ExceptionClear), 0);
}

TEST_F(CorvaneTest, TextTheHostCannotProduceStopsTheCallAndGivesBackTheOthers) {
    for (const std::string exception : {"", kOom}) {
        // Request: the first or the second text fails.
        for (int failing = 0; failing < 2; ++failing) {
            SCOPED_TRACE("request, text " + std::to_string(failing + 1) + " " + exception);
            forget();
            jvm.fail(Host::GetStringUTFChars, failing, exception);
            std::string out;
            EXPECT_EQ(request("t", "i", out), "-1");
            EXPECT_EQ(out, std::string(kReadError) + (exception.empty() ? "" : kException));
            EXPECT_EQ(journal(), std::vector<std::string>{});
            EXPECT_EQ(jvm.count(Host::ReleaseStringUTFChars), failing);
        }
        // Poke: any of the three texts fails; the exception is the Java caller's to see.
        for (int failing = 0; failing < 3; ++failing) {
            SCOPED_TRACE("poke, text " + std::to_string(failing + 1) + " " + exception);
            forget();
            jvm.fail(Host::GetStringUTFChars, failing, exception);
            EXPECT_EQ(poke("t", "i", "v"), kWriteError);
            EXPECT_EQ(journal(), std::vector<std::string>{});
            EXPECT_EQ(jvm.count(Host::ReleaseStringUTFChars), failing);
            EXPECT_EQ(jvm.pending_exception(), exception);
            jvm.clear_exception();
        }
    }
}

TEST_F(CorvaneTest, NullTextsAreNotSent) {
    for (int null_at = 0; null_at < 3; ++null_at) {
        SCOPED_TRACE(null_at);
        forget();
        jstring texts[3] = {jvm.string("t"), jvm.string("i"), jvm.string("v")};
        texts[null_at] = nullptr;
        EXPECT_EQ(poke(texts[0], texts[1], texts[2]), kWriteError);
        if (null_at < 2) {
            std::string out;
            EXPECT_EQ(request(texts[0], texts[1], out), "-1");
            EXPECT_EQ(out, kReadError);
        }
        EXPECT_EQ(journal(), std::vector<std::string>{});
    }
}

TEST_F(CorvaneTest, StoppedApplicationAnswersZeroToBothCalls) {
    std::string out;
    ASSERT_EQ(poke("plant", "temp", "21.5"), "");
    EXPECT_EQ(request("plant", "temp", out), "21.5");
    EXPECT_EQ(out, "");

    ASSERT_EQ(poke("sim", "state", "stopped"), "");
    EXPECT_EQ(request("plant", "temp", out), "-1");
    EXPECT_EQ(out, kStopped);
    EXPECT_EQ(poke("plant", "temp", "22"), kStopped);
    EXPECT_EQ(poke("sim", "state", "running"), "");
}

} // namespace
} // namespace morlane_test
