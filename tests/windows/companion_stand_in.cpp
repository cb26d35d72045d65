// A 32-bit link library's stand-in that, like some vendors' libraries, loads a companion DLL of
// its own by bare name when it is called, not when it is loaded: CVDLLRZ_Open succeeds only when
// "morlane-companion.dll" can be loaded from where the calling process searches. The test places
// a copy of this DLL under both names beside the JVM's stand-in (hosted_test.cpp, Launcher.*).
#include <windows.h>

extern "C" __declspec(dllexport) int WINAPI CVDLLRZ_Open(int, int, int, int, int) {
    HMODULE companion = LoadLibraryA("morlane-companion.dll");
    if (companion == nullptr) {
        return static_cast<int>(GetLastError());
    }
    FreeLibrary(companion);
    return 0;
}
