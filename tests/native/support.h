// The fixture every native suite stands on: the bridge as loaded from its built library, a fresh
// fake JVM per test, the simulated libraries' journal and script, and the bridge's standard
// output captured around each call.
#pragma once

#include "bridge.h"
#include "fake_jni.h"
#include "journal.h"
#include "stdout_capture.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace morlane_test {

using fakejni::Host;

using simjournal::hex;
// An int array's contents as "[a,b,c]", or "null".
std::string render(const fakejni::FakeJvm& jvm, jintArray array);

class BridgeTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    const bridge::Exports& api() const { return bridge::exports(); }
    JNIEnv* env() { return jvm.env(); }

    // Runs one bridge call with standard output captured and returns what it wrote. Afterwards
    // every borrow must be back and no JNI rule may have been broken.
    template <typename Call> std::string run(Call&& call) {
        std::string out;
        {
            capture::StdoutCapture capture;
            call();
            out = capture.finish();
        }
        expect_host_clean();
        return out;
    }

    // Load and release through the bridge; none of them writes anything. Loads still held at
    // the end of a test are released, so each test starts with both slots empty and the
    // simulated libraries freshly loaded.
    void start();
    void finish();
    void cv_start();
    void cv_finish();

    // Clears the journal, the scripted statuses and replies, the fake JVM's call log and the
    // marks in the output.
    void forget();
    std::vector<std::string> journal() const;

    // From now on each call of `host` prints "<host>\n" into standard output, so the captured
    // output shows where that host call fell among the bridge's lines.
    void mark_in_output(Host host) { marked_.push_back(host); }

    // Each host call with the number of journal lines at that moment: tells whether the bridge
    // borrowed before or gave back after it called the outside library.
    struct Moment {
        Host host;
        int journal;
    };
    const std::vector<Moment>& timeline() const { return timeline_; }
    int journal_at_first(Host host) const; // -1 when `host` was not called

    void expect_host_clean();

    fakejni::FakeJvm jvm;

  private:
    int link_loads_ = 0;
    int cv_loads_ = 0;
    std::vector<Moment> timeline_;
    std::vector<Host> marked_;
};

// One call of each of the eleven operations, with arguments that succeed when the outside
// library reports success. Used where every operation must behave alike.
struct Operation {
    const char* method;
    const char* entry; // the outside entry point it needs
    bool corvane;      // needs the Corvane slot rather than the link slot
    // Makes the call (not captured) and returns the Java result rendered ("" for none).
    std::function<std::string(const bridge::Exports&, fakejni::FakeJvm&)> call;
    // The result on the slot and entry-point failure paths.
    std::string failure_result;
};
const std::vector<Operation>& operations();

} // namespace morlane_test
