// The module entry reports success and does nothing else: the outside libraries are loaded and
// released only by the Java program's start and finish calls, never by the loader lock's owner.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
