// Turning a reply's bytes into a Java string without losing a character. JNI defines
// NewStringUTF only for modified UTF-8, and a JVM silently drops what it cannot read, while a
// data application may well answer in standard UTF-8 or in its code page.
#pragma once

#include <jni.h>

namespace morlane::corvane {

// `text` (NUL-terminated, under 4096 bytes) as a Java string: unchanged when it is modified
// UTF-8; else decoded as standard UTF-8 when it is that; else one character per byte, through
// the system's ANSI code page on Windows and as ISO-8859-1 elsewhere. nullptr with the JVM's
// exception pending when the string cannot be made.
jstring reply_string(JNIEnv* env, const char* text) noexcept;

} // namespace morlane::corvane
