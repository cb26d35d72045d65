// Turning bytes from outside the JVM into a Java string without losing a character: a reply of the
// data-access library, a loader's reason for a failed load. JNI defines NewStringUTF only for
// modified UTF-8, and a JVM silently drops what it cannot read, while a data application may well
// answer in standard UTF-8 or in its code page, and a system message is standard UTF-8.
#pragma once

#include <jni.h>

#include <cstddef>

namespace morlane {

// The longest text java_string takes, its NUL included: a reply area's size.
constexpr std::size_t kMostJavaTextBytes = 4096;

// `text` (NUL-terminated, at most kMostJavaTextBytes with its NUL) as a Java string: unchanged when
// it is modified UTF-8; else decoded as standard UTF-8 when it is that; else one character per
// byte, on Windows through `code_page` (0: this process's ANSI code page; a hosted library's text
// is in its host's) and as ISO-8859-1 elsewhere. nullptr with the JVM's exception pending when the
// string cannot be made.
jstring java_string(JNIEnv* env, const char* text, unsigned code_page = 0) noexcept;

} // namespace morlane
