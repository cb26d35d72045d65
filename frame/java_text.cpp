#include "frame/java_text.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace morlane {
namespace {

bool continuation(unsigned char byte) noexcept {
    return (byte & 0xC0) == 0x80;
}

// What a JVM reads back whole: one byte below 0x80, or two- and three-byte sequences (the NUL as
// C0 80, characters above U+FFFF as two encoded surrogates). No four-byte forms.
bool modified_utf8(const unsigned char* p) noexcept {
    while (*p != 0) {
        if (*p < 0x80) {
            p += 1;
        } else if ((*p & 0xE0) == 0xC0 && continuation(p[1])) {
            p += 2;
        } else if ((*p & 0xF0) == 0xE0 && continuation(p[1]) && continuation(p[2])) {
            p += 3;
        } else {
            return false;
        }
    }
    return true;
}

// Standard UTF-8, strictly: shortest forms only, no surrogates, nothing above U+10FFFF.
int utf8_units(const unsigned char* p, jchar* out) noexcept {
    int n = 0;
    while (*p != 0) {
        unsigned code;
        int length;
        if (*p < 0x80) {
            code = *p;
            length = 1;
        } else if (*p >= 0xC2 && *p <= 0xDF) {
            code = *p & 0x1Fu;
            length = 2;
        } else if ((*p & 0xF0) == 0xE0) {
            code = *p & 0x0Fu;
            length = 3;
        } else if (*p >= 0xF0 && *p <= 0xF4) {
            code = *p & 0x07u;
            length = 4;
        } else {
            return -1;
        }
        for (int i = 1; i < length; ++i) {
            if (!continuation(p[i])) {
                return -1;
            }
            code = (code << 6) | (p[i] & 0x3Fu);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
            return -1;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out[n++] = static_cast<jchar>(0xD800 + (code >> 10));
            out[n++] = static_cast<jchar>(0xDC00 + (code & 0x3FF));
        } else {
            out[n++] = static_cast<jchar>(code);
        }
        p += length;
    }
    return n;
}

int byte_units(const char* text, jchar* out, unsigned code_page) noexcept {
    const int length = static_cast<int>(std::strlen(text));
#if defined(_WIN32)
    const int made =
        MultiByteToWideChar(code_page, 0, text, length, reinterpret_cast<wchar_t*>(out), length);
    if (made > 0 || length == 0) {
        return made;
    }
#else
    (void)code_page;
#endif
    for (int i = 0; i < length; ++i) {
        out[i] = static_cast<unsigned char>(text[i]);
    }
    return length;
}

// The UTF-16 units of `text` (at most one per byte), or -1 when it goes to the JVM as it is.
int text_units(const char* text, jchar* out, unsigned code_page) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if (modified_utf8(bytes)) {
        return -1;
    }
    const int units = utf8_units(bytes, out);
    return units >= 0 ? units : byte_units(text, out, code_page);
}

} // namespace

jstring java_string(JNIEnv* env, const char* text, unsigned code_page) noexcept {
    jchar units[kMostJavaTextBytes];
    const int count = text_units(text, units, code_page);
    return count < 0 ? env->NewStringUTF(text) : env->NewString(units, count);
}

} // namespace morlane
