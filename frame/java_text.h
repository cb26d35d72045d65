// Turning bytes from outside the JVM into a Java string without losing a character: a reply of the
// data-access library, a loader's reason for a failed load. JNI defines NewStringUTF only for
// modified UTF-8, and a JVM silently drops what it cannot read, while a data application may well
// answer in standard UTF-8 or in its code page, and a system message is standard UTF-8.
//
// Texts going out cross as the JVM lends them, modified UTF-8, unless ANSI texts are on (Windows
// only): then they cross, and replies come back, in the ANSI code page of the process that calls
// the library, for a library written for one.
#pragma once

#include "frame/jni_guards.h"

#include <jni.h>

#include <cstddef>
#include <memory>

namespace morlane {

// The longest text java_string takes, its NUL included: a reply area's size.
constexpr std::size_t kMostJavaTextBytes = 4096;

// `text` (NUL-terminated, at most kMostJavaTextBytes with its NUL) as a Java string: unchanged when
// it is modified UTF-8; else decoded as standard UTF-8 when it is that; else one character per
// byte, on Windows through `code_page` (0: this process's ANSI code page; a hosted library's text
// is in its host's) and as ISO-8859-1 elsewhere. nullptr with the JVM's exception pending when the
// string cannot be made.
jstring java_string(JNIEnv* env, const char* text, unsigned code_page = 0) noexcept;

// Whether ANSI texts are on: set by MORLANE_TEXTS=ansi as the bridge loads (elsewhere than
// Windows refused on stderr), or by set_ansi_texts.
bool ansi_texts() noexcept;
// False, changing nothing, elsewhere than Windows.
bool set_ansi_texts(bool on) noexcept;

// The code page texts cross in for a library whose process has the ANSI code page `process_page`
// (0: this process's): that page's number with ANSI texts on, else 0, for the JVM's own bytes.
unsigned crossing_page(unsigned process_page) noexcept;

// A Java string's text for a library: as the JVM lends it when `page` is 0, else in code page
// `page`. Empty (nullptr) for a null string, a text the JVM cannot lend, and in a code page, for
// a text holding a NUL or a character the page cannot hold as it is (no best-fit stand-in).
class LibraryText {
  public:
    LibraryText() noexcept = default;
    LibraryText(JNIEnv* env, jstring string, unsigned page) noexcept;
    const char* c_str() const noexcept { return converted_ ? converted_.get() : chars_.c_str(); }

  private:
    UtfChars chars_;
    std::unique_ptr<char[]> converted_;
};

// A reply in code page `page` (not 0) as a Java string, read in that page without guessing.
jstring java_string_in(JNIEnv* env, const char* text, unsigned page) noexcept;

} // namespace morlane
