// A loaded library that lacks entry points fails only the operations that need them. The test runs
// against the full simulated libraries and against each variant lacking every other entry point:
// MORLANE_MISSING_ENTRIES names the missing ones, comma-separated, and the library path must put
// that variant's directory first.
#include "support.h"

#include "control/simctl.h"

#include <cstdlib>
#include <set>
#include <sstream>

namespace morlane_test {
namespace {

using MissingEntry = BridgeTest;

TEST_F(MissingEntry, OnlyTheOperationsThatNeedItReportFunctionNotFound) {
    std::set<std::string> missing;
    std::istringstream named(std::getenv("MORLANE_MISSING_ENTRIES") != nullptr
                                 ? std::getenv("MORLANE_MISSING_ENTRIES")
                                 : "");
    for (std::string entry; std::getline(named, entry, ',');) {
        missing.insert(entry);
    }
    std::set<std::string> known;
    for (const Operation& op : operations()) {
        known.insert(op.entry);
    }
    for (const std::string& entry : missing) {
        ASSERT_EQ(known.count(entry), 1u) << "MORLANE_MISSING_ENTRIES names no entry: " << entry;
    }

    start();
    cv_start();
    for (const Operation& op : operations()) {
        SCOPED_TRACE(op.method);
        forget();
        simctl_script_status(op.entry, op.corvane ? 1 : 0);
        simctl_script_reply("reply", 5, 1);
        std::string result;
        const std::string out = run([&] { result = op.call(api(), jvm); });
        if (missing.count(op.entry) != 0) {
            EXPECT_EQ(out, "in DLL: Function not found.\n");
            EXPECT_EQ(journal(), std::vector<std::string>{});
            EXPECT_EQ(result, op.failure_result);
            // In process the lookup comes before any borrow. A host is asked with the call
            // itself, so there the texts and elements have been taken, and given back, already.
            const bool in_process =
                (op.corvane ? api().corvaneMode : api().linkMode)(env(), nullptr) == 1;
            if (in_process) {
                EXPECT_EQ(jvm.count(Host::GetStringUTFChars), 0);
                EXPECT_EQ(jvm.count(Host::GetIntArrayRegion), 0);
            }
        } else {
            EXPECT_EQ(out, "");
            const std::vector<std::string> lines = journal();
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].rfind(std::string(op.entry) + " ", 0), 0u) << lines[0];
            if (op.entry == std::string("CVDA_Request")) {
                EXPECT_EQ(result, "reply");
            }
        }
    }
}

} // namespace
} // namespace morlane_test
