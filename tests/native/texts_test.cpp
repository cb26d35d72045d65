// Texts in the ANSI code page (MORLANE_TEXTS=ansi, CallRecord.setAnsiTexts), which only Windows
// has: run under Wine in process and hosted, in code page 1252 and, in a Japanese locale, 932
// (MORLANE_TEST_CODE_PAGE names the page the run must have; 1252 when unset).
#if defined(_WIN32)
#include "control/simctl.h"
#include "support.h"

#include <windows.h>

#include <cstdlib>

namespace morlane_test {
namespace {

class AnsiTexts : public BridgeTest {
  protected:
    void SetUp() override {
        BridgeTest::SetUp();
        ASSERT_TRUE(api().ansiTexts(env(), nullptr, JNI_TRUE));
        start();
        cv_start();
        forget();
    }
    void TearDown() override {
        api().ansiTexts(env(), nullptr, JNI_FALSE);
        BridgeTest::TearDown();
    }
    std::string request(const std::string& topic, jstring& reply) {
        return run(
            [&] { reply = api().cvRequest(env(), nullptr, jvm.string(topic), jvm.string("b")); });
    }
};

// Bytes in the page that also read as UTF-8, so that a guess would decode the reply wrongly:
// "cafÃ©" in 1252, half-width katakana "ﾃｽ" in 932. ASCII crosses unchanged.
TEST_F(AnsiTexts, TextsCrossAndRepliesComeBackInTheProcesssCodePage) {
    const char* wanted = std::getenv("MORLANE_TEST_CODE_PAGE");
    ASSERT_EQ(GetACP(), wanted != nullptr ? std::strtoul(wanted, nullptr, 10) : 1252ul);
    const bool western = GetACP() == 1252;
    const std::string java = western ? "caf\xc3\x83\xc2\xa9" : "\xef\xbe\x83\xef\xbd\xbd";
    const std::string bytes = western ? "caf\xc3\xa9" : "\xc3\xbd";
    run([&] { api().downLoad(env(), nullptr, 1, 2, jvm.string(java)); });
    run([&] { api().cvPoke(env(), nullptr, jvm.string("a"), jvm.string(java), jvm.string("b")); });
    simctl_script_reply(bytes.c_str(), static_cast<int>(bytes.size()), 1);
    jstring reply = nullptr;
    EXPECT_EQ(request(java, reply), "");
    EXPECT_EQ(jvm.text(reply), java);
    EXPECT_EQ(journal(), (std::vector<std::string>{"CVDLLRZ_DownLoad 1 2 " + hex(bytes),
                                                   "CVDA_Poke x61 " + hex(bytes) + " x62",
                                                   "CVDA_Request " + hex(bytes) + " x62 *"}));
}

// A text the page cannot hold as it is ("ā", which best fit would send as "a"), or one holding
// a NUL, reaches no library: the operation's line, REFUSED (4), its failure result.
TEST_F(AnsiTexts, ATextThePageCannotHoldIsRefused) {
    for (const char* text : {"\xc4\x81", "a\xc0\x80"}) {
        jstring reply = nullptr;
        EXPECT_EQ(run([&] { api().downLoad(env(), nullptr, 1, 2, jvm.string(text)); }) + run([&] {
                      api().cvPoke(env(), nullptr, jvm.string(text), jvm.string("b"),
                                   jvm.string("c"));
                  }) + request(text, reply),
                  "in DLL: Download Error\nin DLL: Write error\nin DLL: Read error\n");
        EXPECT_EQ(api().lastFailureKind(env(), nullptr), 4);
        EXPECT_EQ(jvm.text(reply), "-1");
        EXPECT_EQ(journal(), std::vector<std::string>{});
    }
}

} // namespace
} // namespace morlane_test
#endif
