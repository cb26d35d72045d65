#include "frame/java_text.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

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

#if defined(_WIN32)
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// Read once, as the bridge is loaded.
bool ansi_from_environment() noexcept {
    const char* setting = std::getenv("MORLANE_TEXTS");
    if (setting == nullptr || setting[0] == '\0') {
        return false;
    }
    const bool ansi = std::strcmp(setting, "ansi") == 0;
    if (!ansi || !kWindows) {
        std::fprintf(stderr,
                     "morlane: MORLANE_TEXTS=%s refused: %s; texts cross as the JVM's "
                     "modified UTF-8\n",
                     setting,
                     ansi ? "an ANSI code page exists only on Windows" : "the one setting is ansi");
    }
    return ansi && kWindows;
}

std::atomic<bool> ansi{ansi_from_environment()};

#if defined(_WIN32)
// The UTF-16 units of a modified UTF-8 text, which the JVM lends well formed.
std::wstring utf16(const unsigned char* p) {
    std::wstring units;
    while (*p != 0) {
        const int length = *p < 0x80 ? 1 : (*p & 0xE0) == 0xC0 ? 2 : 3;
        unsigned unit = length == 1 ? *p : length == 2 ? *p & 0x1Fu : *p & 0x0Fu;
        for (int i = 1; i < length; ++i) {
            if (!continuation(p[i])) {
                return std::wstring(1, L'\0'); // not from a JVM: refused as a NUL would be
            }
            unit = unit << 6 | (p[i] & 0x3Fu);
        }
        units.push_back(static_cast<wchar_t>(unit));
        p += length;
    }
    return units;
}

// `units` in code page `page`, exactly, or nullptr.
std::unique_ptr<char[]> in_page(const std::wstring& units, unsigned page) {
    const int count = static_cast<int>(units.size());
    // UTF-8 takes no best-fit flag and no default character; its round trip below finds what it
    // could not hold.
    const DWORD flags = page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL defaulted = FALSE;
    BOOL* const defaulted_at = page == CP_UTF8 ? nullptr : &defaulted;
    const int bytes =
        WideCharToMultiByte(page, flags, units.data(), count, nullptr, 0, nullptr, defaulted_at);
    std::unique_ptr<char[]> text(bytes > 0 ? new (std::nothrow) char[bytes + 1] : nullptr);
    if (!text || WideCharToMultiByte(page, flags, units.data(), count, text.get(), bytes, nullptr,
                                     defaulted_at) != bytes) {
        return nullptr;
    }
    text[bytes] = '\0';
    // Whatever a code page maps without saying so, it does not read back the same.
    std::wstring back(units.size(), L'\0');
    if (defaulted ||
        MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text.get(), bytes, &back[0], count) !=
            count ||
        back != units) {
        return nullptr;
    }
    return text;
}
#endif

} // namespace

bool ansi_texts() noexcept {
    return ansi.load(std::memory_order_relaxed);
}

bool set_ansi_texts(bool on) noexcept {
    ansi.store(on && kWindows, std::memory_order_relaxed);
    return kWindows || !on;
}

unsigned crossing_page(unsigned process_page) noexcept {
#if defined(_WIN32)
    return !ansi_texts() ? 0 : process_page != 0 ? process_page : GetACP();
#else
    (void)process_page;
    return 0;
#endif
}

LibraryText::LibraryText(JNIEnv* env, jstring string, unsigned page) noexcept
    : chars_(env, string) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(chars_.c_str());
    bool ascii = true;
    for (const unsigned char* p = bytes; ascii && p != nullptr && *p != 0; ++p) {
        ascii = *p < 0x80;
    }
    // ASCII crosses byte for byte in every code page.
    if (page == 0 || bytes == nullptr || ascii) {
        return;
    }
#if defined(_WIN32)
    const std::wstring units = utf16(bytes);
    converted_ = units.find(L'\0') == std::wstring::npos ? in_page(units, page) : nullptr;
#endif
    if (!converted_) {
        chars_ = UtfChars();
    }
}

jstring java_string_in(JNIEnv* env, const char* text, unsigned page) noexcept {
    jchar units[kMostJavaTextBytes];
    return env->NewString(units, byte_units(text, units, page));
}

jstring java_string(JNIEnv* env, const char* text, unsigned code_page) noexcept {
    jchar units[kMostJavaTextBytes];
    const int count = text_units(text, units, code_page);
    return count < 0 ? env->NewStringUTF(text) : env->NewString(units, count);
}

} // namespace morlane
