// regWrite and regRead, both forms each: the 16-bit conversions, counts, refused inputs, release
// modes, failed reads and the scratch buffer on the stack and on the heap. Link 0 of the
// simulated PLC is open for every test; its area 0 holds registers 0..8191.
#include "support.h"

#include "control/simctl.h"

#include <climits>
#include <initializer_list>

namespace morlane_test {
namespace {

const char kRegWriteError[] = "in DLL: RegWrite Error\n";
const char kRegReadError[] = "in DLL: RegRead Error\n";
constexpr jint kRegisters = 8192;

std::string words(const std::vector<jint>& values) {
    std::string out = "[";
    for (jint value : values) {
        out += (out.size() > 1 ? "," : "") + std::to_string(value);
    }
    return out + "]";
}

// Distinct non-zero words, many of them above 32767.
std::vector<jint> pattern(jint count, jint seed) {
    std::vector<jint> values;
    for (jint i = 0; i < count; ++i) {
        values.push_back(((i * 40503 + seed) & 0xFFFF) | 0x0101);
    }
    return values;
}

class RegistersTest : public BridgeTest {
  protected:
    void SetUp() override {
        BridgeTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        start();
        ASSERT_EQ(run([&] { api().open(env(), nullptr, 0, 0, 0, 100, 0); }), "");
        forget();
    }
    void TearDown() override {
        if (api().error.empty()) {
            run([&] { api().close(env(), nullptr, 0); });
        }
        BridgeTest::TearDown();
    }

    std::string write(jint address, const std::vector<jint>& values) {
        return run([&] {
            api().regWriteBlock(env(), nullptr, 0, 0, address, jvm.int_array(values),
                                static_cast<jint>(values.size()));
        });
    }
    std::string read_into(jint address, jintArray into, jint count) {
        return run([&] { api().regReadInto(env(), nullptr, 0, 0, address, into, count); });
    }
    std::string read_new(jint address, jint count, jintArray& result) {
        return run([&] { result = api().regReadNew(env(), nullptr, 0, 0, address, count); });
    }
};

TEST_F(RegistersTest, SingleValueSendsItsLow16BitsAsOneWord) {
    const struct {
        jint value;
        int word;
    } cases[] = {{65535, 65535}, {-1, 65535},   {32768, 32768}, {-32768, 32768},
                 {65536, 0},     {70000, 4464}, {INT_MIN, 0},   {0x7ffe1234, 0x1234}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        forget();
        EXPECT_EQ(run([&] { api().regWriteValue(env(), nullptr, 0, 0, 40, c.value); }), "");
        EXPECT_EQ(journal(), std::vector<std::string>{"CVDLLRZ_RegWrite 0 0 40 [" +
                                                      std::to_string(c.word) + "] 1"});
    }
}

TEST_F(RegistersTest, BlockWriteSendsOnlyCountWordsAndLeavesTheArrayAlone) {
    const std::vector<jint> values = {65535, -1, 32768, -32768, 65536, 70000, 11, 12};
    jintArray array = jvm.int_array(values);
    EXPECT_EQ(run([&] { api().regWriteBlock(env(), nullptr, 0, 0, 300, array, 6); }), "");
    EXPECT_EQ(journal(), std::vector<std::string>{
                             "CVDLLRZ_RegWrite 0 0 300 [65535,65535,32768,32768,0,4464] 6"});
    EXPECT_EQ(jvm.ints(array), values);
    EXPECT_EQ(journal_at_first(Host::GetIntArrayRegion), 0) << "taken before the call";
    EXPECT_EQ(jvm.count(Host::GetIntArrayElements), 0) << "never the whole array";
}

TEST_F(RegistersTest, WordsReadBackWidenedWithoutSignInBothForms) {
    ASSERT_EQ(write(500, {0xFFFF, 0x8000, 0x7FFF, 1}), "");

    forget();
    jintArray into = jvm.int_array({-7, -7, -7, -7, -7, -7});
    EXPECT_EQ(read_into(500, into, 4), "");
    EXPECT_EQ(render(jvm, into), "[65535,32768,32767,1,-7,-7]");
    EXPECT_EQ(jvm.count(Host::GetIntArrayElements), 0) << "never the whole array";
    EXPECT_EQ(journal(), std::vector<std::string>{"CVDLLRZ_RegRead 0 0 500 * 4"});

    forget();
    jintArray made = nullptr;
    EXPECT_EQ(read_new(500, 4, made), "");
    EXPECT_EQ(render(jvm, made), "[65535,32768,32767,1]");
    EXPECT_EQ(jvm.calls().front(), Host::NewIntArray);
    EXPECT_EQ(journal(), std::vector<std::string>{"CVDLLRZ_RegRead 0 0 500 * 4"});
}

TEST_F(RegistersTest, CountZeroStillCallsTheLibrary) {
    jintArray array = jvm.int_array({5, 6});
    EXPECT_EQ(run([&] { api().regWriteBlock(env(), nullptr, 0, 0, 20, array, 0); }), "");
    EXPECT_EQ(read_into(20, array, 0), "");
    EXPECT_EQ(render(jvm, array), "[5,6]");
    jintArray made = nullptr;
    EXPECT_EQ(read_new(20, 0, made), "");
    EXPECT_EQ(render(jvm, made), "[]");
    EXPECT_EQ(journal(), (std::vector<std::string>{"CVDLLRZ_RegWrite 0 0 20 [] 0",
                                                   "CVDLLRZ_RegRead 0 0 20 * 0",
                                                   "CVDLLRZ_RegRead 0 0 20 * 0"}));
}

TEST_F(RegistersTest, RefusedBlockInputsCallNothingAndLeaveTheArray) {
    const struct {
        const char* what;
        bool null_array;
        jint count;
        bool elements_fail;
    } cases[] = {
        {"null array", true, 2, false},           {"null array, count 0", true, 0, false},
        {"negative count", false, -1, false},     {"count above length", false, 4, false},
        {"elements unavailable", false, 2, true},
    };
    for (const auto& c : cases) {
        for (bool reading : {false, true}) {
            if (reading && c.elements_fail) {
                continue; // a read takes nothing from the array before the call
            }
            SCOPED_TRACE(std::string(c.what) + (reading ? " (read)" : " (write)"));
            forget();
            jintArray array = c.null_array ? nullptr : jvm.int_array({1, 2, 3});
            if (c.elements_fail) {
                jvm.fail(Host::GetIntArrayRegion, 0, "java/lang/OutOfMemoryError");
            }
            const std::string out = reading ? read_into(0, array, c.count) : run([&] {
                api().regWriteBlock(env(), nullptr, 0, 0, 0, array, c.count);
            });
            EXPECT_EQ(out, reading ? kRegReadError : kRegWriteError);
            EXPECT_EQ(journal(), std::vector<std::string>{});
            if (array != nullptr) {
                EXPECT_EQ(render(jvm, array), "[1,2,3]");
            }
            EXPECT_EQ(jvm.pending_exception(), c.elements_fail ? "java/lang/OutOfMemoryError" : "");
            jvm.clear_exception();
        }
    }
}

TEST_F(RegistersTest, ArrayReturningReadGivesUpWhenTheHostCannotMakeTheArray) {
    const struct {
        jint count;
        bool host_fails;
        const char* exception;
    } cases[] = {{-1, false, "java/lang/NegativeArraySizeException"},
                 {4, true, "java/lang/OutOfMemoryError"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exception);
        forget();
        if (c.host_fails) {
            jvm.fail(Host::NewIntArray, 0, c.exception);
        }
        jintArray made = jvm.int_array({});
        EXPECT_EQ(read_new(0, c.count, made), "");
        EXPECT_EQ(made, nullptr);
        EXPECT_EQ(journal(), std::vector<std::string>{});
        EXPECT_EQ(jvm.calls(), std::vector<Host>{Host::NewIntArray});
        EXPECT_EQ(jvm.pending_exception(), c.exception) << "the Java caller must see it";
        jvm.clear_exception();
    }
}

TEST_F(RegistersTest, FailedReadDeliversTheWordsBeforeItsLine) {
    ASSERT_EQ(write(kRegisters - 2, {0xABCD, 0x1234}), "");
    mark_in_output(Host::SetIntArrayRegion);

    // Two of the four words lie inside the area; the library fails the read but fills them.
    jintArray into = jvm.int_array({-1, -1, -1, -1, -1});
    EXPECT_EQ(read_into(kRegisters - 2, into, 4),
              std::string("<SetIntArrayRegion>\n") + kRegReadError);
    EXPECT_EQ(render(jvm, into), "[43981,4660,0,0,-1]");

    jintArray made = nullptr;
    EXPECT_EQ(read_new(kRegisters - 2, 4, made),
              std::string("<SetIntArrayRegion>\n") + kRegReadError);
    EXPECT_EQ(render(jvm, made), "[43981,4660,0,0]");

    // A scripted failure over a read that succeeded delivers every word as well.
    forget();
    simctl_script_status("CVDLLRZ_RegRead", -1);
    EXPECT_EQ(read_new(kRegisters - 2, 2, made),
              std::string("<SetIntArrayRegion>\n") + kRegReadError);
    EXPECT_EQ(render(jvm, made), "[43981,4660]");
}

TEST_F(RegistersTest, WordsTheLibraryLeavesUnwrittenReadAsZeroAfterADirtyRead) {
    // The same call path first reads a block of non-zero words, so a scratch buffer that is not
    // cleared would hand the stale ones on. 6 words stay on the stack, 300 go to the heap.
    for (jint count : {6, 300}) {
        SCOPED_TRACE(count);
        const jint base = kRegisters - count;
        const std::vector<jint> stored = pattern(count, 7);
        ASSERT_EQ(write(base, stored), "");
        std::vector<jint> expected(static_cast<std::size_t>(count), 0);
        expected[0] = stored[static_cast<std::size_t>(count) - 2];
        expected[1] = stored[static_cast<std::size_t>(count) - 1];
        for (jint address : {base, kRegisters - 2}) {
            jintArray into = jvm.int_array(std::vector<jint>(static_cast<std::size_t>(count), -5));
            jintArray made = nullptr;
            const std::string into_out = read_into(address, into, count);
            const std::string made_out = read_new(address, count, made);
            if (address == base) {
                ASSERT_EQ(into_out, "");
                ASSERT_EQ(jvm.ints(into), stored);
                ASSERT_EQ(jvm.ints(made), stored);
            } else {
                EXPECT_EQ(into_out, kRegReadError);
                EXPECT_EQ(made_out, kRegReadError);
                EXPECT_EQ(jvm.ints(into), expected);
                EXPECT_EQ(jvm.ints(made), expected);
            }
        }
    }
}

TEST_F(RegistersTest, BlocksOnEitherSideOfTheStackBufferRoundTrip) {
    for (jint count : std::initializer_list<jint>{255, 256, 257, 1000, kRegisters}) {
        SCOPED_TRACE(count);
        forget();
        const std::vector<jint> values = pattern(count, count);
        // Written with bits above the low 16 (negative, and beyond 65535), which long blocks
        // must drop just as short ones do.
        std::vector<jint> written = values;
        for (std::size_t i = 0; i < written.size(); ++i) {
            written[i] += 65536 * (static_cast<jint>(i % 3) - 1);
        }
        ASSERT_EQ(write(0, written), "");
        EXPECT_EQ(journal(), std::vector<std::string>{"CVDLLRZ_RegWrite 0 0 0 " + words(values) +
                                                      " " + std::to_string(count)});
        // One element more than the count in the passed array, to show it is left alone.
        std::vector<jint> prefill(static_cast<std::size_t>(count) + 1, -9);
        jintArray into = jvm.int_array(prefill);
        EXPECT_EQ(read_into(0, into, count), "");
        std::vector<jint> expected = values;
        expected.push_back(-9);
        EXPECT_EQ(jvm.ints(into), expected);
        jintArray made = nullptr;
        EXPECT_EQ(read_new(0, count, made), "");
        EXPECT_EQ(jvm.ints(made), values);
    }
}

} // namespace
} // namespace morlane_test
