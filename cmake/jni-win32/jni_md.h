/*
 * Machine-dependent JNI definitions for Windows, 32-bit (i686) and 64-bit (x86-64), used with the
 * JDK's platform-independent jni.h when the bridge is built with MinGW-w64. The JDK ships a copy
 * of this header only for the host it was built for, and a Windows JDK's copy is written for MSVC.
 *
 * What a 32-bit Windows JVM expects of a native library:
 * - native methods use the platform's standard calling convention, in which the callee removes
 *   its own arguments (__stdcall); a JVM calling a __cdecl function would leave its stack off by
 *   the size of the arguments;
 * - the functions are exported from the DLL (there is no visibility attribute on Windows);
 * - jint is a signed 32-bit integer and jlong a signed 64-bit one. `long` is 32 bits on every
 *   Windows ABI, which is why the JVM's headers use it there: a `jint*` is therefore not an
 *   `int*`, and arrays of the two must be converted element by element, never cast.
 *
 * On x86-64 Windows there is one calling convention: __stdcall is accepted and means nothing, and
 * exported names carry no decoration. `long` is still 32 bits there (LLP64), so the same types hold.
 */
#ifndef MORLANE_JNI_MD_WIN32_H
#define MORLANE_JNI_MD_WIN32_H

#if !defined(_WIN32)
#error "This jni_md.h is for Windows targets; use the JDK's own on other hosts."
#endif

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif /* MORLANE_JNI_MD_WIN32_H */
