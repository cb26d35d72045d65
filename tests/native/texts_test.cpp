// Texts in the ANSI code page (MORLANE_TEXTS=ansi, morlane.CallRecord.setAnsiTexts), which only
// Windows has. Run under Wine in process and hosted, in code page 1252 and, with a Japanese
// locale, in 932 (MORLANE_TEST_CODE_PAGE names the page the run must have; 1252 when unset).
#if defined(_WIN32)
#include "control/simctl.h"
#include "support.h"

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace morlane_test {
namespace {

class AnsiTexts : public BridgeTest {
  protected:
    void SetUp() override {
        BridgeTest::SetUp();
        ASSERT_TRUE(api().ansiTexts(env(), nullptr, JNI_TRUE));
    }
    void TearDown() override {
        api().ansiTexts(env(), nullptr, JNI_FALSE);
        BridgeTest::TearDown();
    }
};

// A text whose bytes in the page also read as UTF-8, so that a guess would decode the reply
// wrongly: "cafÃ©" in 1252 (a UTF-8 "café" misread), half-width katakana "ﾃｽ" in 932.
struct Page {
    std::string java;  // modified UTF-8
    std::string bytes; // in the code page
};

TEST_F(AnsiTexts, TextsCrossAndRepliesComeBackInTheProcesssCodePage) {
    const char* wanted = std::getenv("MORLANE_TEST_CODE_PAGE");
    const UINT page = wanted != nullptr ? static_cast<UINT>(std::atoi(wanted)) : 1252;
    ASSERT_EQ(GetACP(), page) << "the run's locale does not give the code page wanted";
    ASSERT_TRUE(page == 1252 || page == 932);
    const Page text = page == 1252 ? Page{"caf\xc3\x83\xc2\xa9", "caf\xc3\xa9"}
                                   : Page{"\xef\xbe\x83\xef\xbd\xbd", "\xc3\xbd"};
    start();
    cv_start();
    forget();
    const std::string bytes = hex(text.bytes);
    run([&] { api().downLoad(env(), nullptr, 1, 2, jvm.string(text.java)); });
    EXPECT_EQ(run([&] {
                  api().cvPoke(env(), nullptr, jvm.string("a"), jvm.string(text.java),
                               jvm.string("b"));
              }),
              "");
    simctl_script_reply(text.bytes.c_str(), static_cast<int>(text.bytes.size()), 1);
    jstring reply = nullptr;
    EXPECT_EQ(run([&] {
                  reply = api().cvRequest(env(), nullptr, jvm.string(text.java), jvm.string("b"));
              }),
              "");
    EXPECT_EQ(jvm.text(reply), text.java);
    EXPECT_EQ(journal(), (std::vector<std::string>{"CVDLLRZ_DownLoad 1 2 " + bytes,
                                                   "CVDA_Poke x61 " + bytes + " x62",
                                                   "CVDA_Request " + bytes + " x62 *"}));
}

// A text the page cannot hold as it is ("ā", which best fit would send as "a"), or one holding
// a NUL, reaches no library: the operation's line, REFUSED, and its failure result.
TEST_F(AnsiTexts, ATextThePageCannotHoldIsRefused) {
    start();
    cv_start();
    const jint kRefused = 4;
    for (const char* refused : {"\xc4\x81", "a\xc0\x80"}) {
        forget();
        const auto text = [&] { return jvm.string(refused); };
        EXPECT_EQ(run([&] { api().downLoad(env(), nullptr, 1, 2, text()); }),
                  "in DLL: Download Error\n");
        EXPECT_EQ(api().lastFailureKind(env(), nullptr), kRefused);
        EXPECT_EQ(
            run([&] { api().cvPoke(env(), nullptr, jvm.string("a"), jvm.string("b"), text()); }),
            "in DLL: Write error\n");
        EXPECT_EQ(api().lastFailureKind(env(), nullptr), kRefused);
        jstring reply = nullptr;
        EXPECT_EQ(run([&] { reply = api().cvRequest(env(), nullptr, jvm.string("a"), text()); }),
                  "in DLL: Read error\n");
        EXPECT_EQ(api().lastFailureKind(env(), nullptr), kRefused);
        EXPECT_EQ(jvm.text(reply), "-1");
        EXPECT_EQ(journal(), std::vector<std::string>{});
    }
}

} // namespace
} // namespace morlane_test
#endif
