#include "support.h"

#include "control/simctl.h"

#include <algorithm>
#include <cstdio>

namespace morlane_test {

std::string render(const fakejni::FakeJvm& jvm, jintArray array) {
    if (array == nullptr) {
        return "null";
    }
    std::string out = "[";
    for (jint value : jvm.ints(array)) {
        out += (out.size() > 1 ? "," : "") + std::to_string(value);
    }
    return out + "]";
}

void BridgeTest::SetUp() {
    ASSERT_EQ(api().error, "") << "the bridge library could not be bound";
    simctl_reset();
    jvm.set_observer([this](Host host) {
        timeline_.push_back({host, simctl_journal_count()});
        if (std::find(marked_.begin(), marked_.end(), host) != marked_.end()) {
            std::printf("<%s>\n", fakejni::host_name(host));
        }
    });
}

void BridgeTest::TearDown() {
    while (link_loads_ > 0) {
        finish();
    }
    while (cv_loads_ > 0) {
        cv_finish();
    }
}

void BridgeTest::start() {
    EXPECT_EQ(run([&] { api().start(env(), nullptr); }), "");
    ++link_loads_;
}

void BridgeTest::finish() {
    EXPECT_EQ(run([&] { api().finish(env(), nullptr); }), "");
    link_loads_ = std::max(0, link_loads_ - 1);
}

void BridgeTest::cv_start() {
    EXPECT_EQ(run([&] { api().cvStart(env(), nullptr); }), "");
    ++cv_loads_;
}

void BridgeTest::cv_finish() {
    EXPECT_EQ(run([&] { api().cvFinish(env(), nullptr); }), "");
    cv_loads_ = std::max(0, cv_loads_ - 1);
}

void BridgeTest::forget() {
    simctl_reset();
    jvm.forget_calls();
    timeline_.clear();
    marked_.clear();
}

std::vector<std::string> BridgeTest::journal() const {
    std::vector<std::string> lines;
    const int count = simctl_journal_count();
    for (int i = 0; i < count; ++i) {
        lines.push_back(simjournal::line(i));
    }
    return lines;
}

int BridgeTest::journal_at_first(Host host) const {
    for (const Moment& moment : timeline_) {
        if (moment.host == host) {
            return moment.journal;
        }
    }
    return -1;
}

void BridgeTest::expect_host_clean() {
    EXPECT_EQ(jvm.outstanding(), 0u) << "borrows from the JVM not given back";
    std::string broken;
    for (const std::string& v : jvm.violations()) {
        broken += "\n  " + v;
    }
    EXPECT_TRUE(broken.empty()) << "JNI rules broken:" << broken;
}

const std::vector<Operation>& operations() {
    using Api = bridge::Exports;
    using Jvm = fakejni::FakeJvm;
    static const std::vector<Operation> all = {
        {"open", "CVDLLRZ_Open", false,
         [](const Api& a, Jvm& j) {
             a.open(j.env(), nullptr, 0, 1, 0, 100, 2);
             return std::string();
         },
         ""},
        {"close", "CVDLLRZ_Close", false,
         [](const Api& a, Jvm& j) {
             a.close(j.env(), nullptr, 0);
             return std::string();
         },
         ""},
        {"runMode", "CVDLLRZ_RunMode", false,
         [](const Api& a, Jvm& j) {
             a.runMode(j.env(), nullptr, 0, 1);
             return std::string();
         },
         ""},
        {"stopMode", "CVDLLRZ_StopMode", false,
         [](const Api& a, Jvm& j) {
             a.stopMode(j.env(), nullptr, 0, 1);
             return std::string();
         },
         ""},
        {"downLoad", "CVDLLRZ_DownLoad", false,
         [](const Api& a, Jvm& j) {
             a.downLoad(j.env(), nullptr, 0, 1, j.string("prog.mot"));
             return std::string();
         },
         ""},
        {"regWrite(value)", "CVDLLRZ_RegWrite", false,
         [](const Api& a, Jvm& j) {
             a.regWriteValue(j.env(), nullptr, 0, 0, 10, 7);
             return std::string();
         },
         ""},
        {"regWrite(block)", "CVDLLRZ_RegWrite", false,
         [](const Api& a, Jvm& j) {
             a.regWriteBlock(j.env(), nullptr, 0, 0, 10, j.int_array({1, 2, 3}), 3);
             return std::string();
         },
         ""},
        {"regRead(into)", "CVDLLRZ_RegRead", false,
         [](const Api& a, Jvm& j) {
             jintArray into = j.int_array({9, 9, 9});
             a.regReadInto(j.env(), nullptr, 0, 0, 10, into, 3);
             return render(j, into);
         },
         "[9,9,9]"},
        {"regRead(new)", "CVDLLRZ_RegRead", false,
         [](const Api& a, Jvm& j) {
             return render(j, a.regReadNew(j.env(), nullptr, 0, 0, 10, 3));
         },
         "[0,0,0]"},
        {"cvPoke", "CVDA_Poke", true,
         [](const Api& a, Jvm& j) {
             a.cvPoke(j.env(), nullptr, j.string("t"), j.string("i"), j.string("v"));
             return std::string();
         },
         ""},
        {"cvRequest", "CVDA_Request", true,
         [](const Api& a, Jvm& j) {
             jstring reply = a.cvRequest(j.env(), nullptr, j.string("t"), j.string("i"));
             return reply == nullptr ? std::string("null") : j.text(reply);
         },
         "-1"},
    };
    return all;
}

} // namespace morlane_test
