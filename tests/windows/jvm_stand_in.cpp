// The JVM's stand-in for Launcher.* (hosted_test.cpp): copied into a folder of the test's choosing
// and run from there, as java.exe runs from its own, with the current folder and PATH the test
// gives. Its manifest gives it the UTF-8 ANSI code page, as a launcher's own manifest may; the
// host keeps the system's. It links no simulated library, so that the folder it runs from holds
// only what the test puts there. It loads the bridge ($MORLANE_BRIDGE_LIBRARY, else the build's),
// after setting its DLL folder to $MORLANE_STAND_IN_DLL_DIRECTORY if given, and then
//   (no argument)  starts the link library, says how it was loaded and, if it was not, what
//                  became of the host, then opens and closes a link (the bridge writes its lines
//                  after that);
//   request        prints the reply of a Corvane request, as the bridge made it a string.
#include "bridge.h"
#include "fake_jni.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (const char* directory = std::getenv("MORLANE_STAND_IN_DLL_DIRECTORY")) {
        SetDllDirectoryA(directory);
    }
    const bridge::Exports& api = bridge::exports();
    if (!api.error.empty()) {
        std::printf("bridge %s\n", api.error.c_str());
        return 1;
    }
    fakejni::FakeJvm jvm;
    if (argc == 2 && std::strcmp(argv[1], "request") == 0) {
        api.cvStart(jvm.env(), nullptr);
        const jstring reply =
            api.cvRequest(jvm.env(), nullptr, jvm.string("topic"), jvm.string("item"));
        std::printf("reply %s\n", reply != nullptr ? jvm.text(reply).c_str() : "<null>");
        api.cvFinish(jvm.env(), nullptr);
        return 0;
    }
    api.start(jvm.env(), nullptr);
    std::printf("mode %d\n", static_cast<int>(api.linkMode(jvm.env(), nullptr)));
    const jstring reason = api.linkLoadFailure(jvm.env(), nullptr);
    if (reason != nullptr) {
        const std::string text = jvm.text(reason);
        const std::size_t hosted = text.find("hosted: ");
        std::printf("%s\n", text.c_str() + (hosted != std::string::npos ? hosted : 0));
    }
    std::fflush(stdout);
    api.open(jvm.env(), nullptr, 1, 2, 0, 100, 3);
    api.close(jvm.env(), nullptr, 1);
    api.finish(jvm.env(), nullptr);
    return 0;
}
