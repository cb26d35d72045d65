// Move-only guards for what the bridge borrows from the JVM. Each guard gives its borrow back in
// its destructor, so no return path can forget a release; a null Java reference or a host that
// cannot lend is handled in the constructor and shows as an empty guard.
#pragma once

#include <jni.h>

#include <utility>

namespace morlane {

// The modified UTF-8 text of a Java string (GetStringUTFChars / ReleaseStringUTFChars).
class UtfChars {
  public:
    UtfChars() noexcept = default;
    UtfChars(JNIEnv* env, jstring string) noexcept
        : env_(env), string_(string),
          chars_(string != nullptr ? env->GetStringUTFChars(string, nullptr) : nullptr) {}
    UtfChars(UtfChars&& other) noexcept { swap(other); }
    UtfChars& operator=(UtfChars&& other) noexcept {
        UtfChars(std::move(other)).swap(*this);
        return *this;
    }
    UtfChars(const UtfChars&) = delete;
    UtfChars& operator=(const UtfChars&) = delete;
    ~UtfChars() {
        if (chars_ != nullptr) {
            env_->ReleaseStringUTFChars(string_, chars_);
        }
    }

    // nullptr when the string was null or the host could not produce its text.
    const char* c_str() const noexcept { return chars_; }

  private:
    void swap(UtfChars& other) noexcept {
        std::swap(env_, other.env_);
        std::swap(string_, other.string_);
        std::swap(chars_, other.chars_);
    }

    JNIEnv* env_ = nullptr;
    jstring string_ = nullptr;
    const char* chars_ = nullptr;
};

// The elements of a Java int[] (GetIntArrayElements / ReleaseIntArrayElements). A read-only
// borrow is given back with JNI_ABORT so a copying JVM does not write the array back for nothing;
// a writable one with mode 0 so the values reach the Java array.
class IntElements {
  public:
    enum class Access { ReadOnly, ReadWrite };

    IntElements() noexcept = default;
    IntElements(JNIEnv* env, jintArray array, Access access) noexcept
        : env_(env), array_(array), mode_(access == Access::ReadOnly ? JNI_ABORT : 0),
          elements_(array != nullptr ? env->GetIntArrayElements(array, nullptr) : nullptr) {}
    IntElements(IntElements&& other) noexcept { swap(other); }
    IntElements& operator=(IntElements&& other) noexcept {
        IntElements(std::move(other)).swap(*this);
        return *this;
    }
    IntElements(const IntElements&) = delete;
    IntElements& operator=(const IntElements&) = delete;
    ~IntElements() { release(); }

    // Gives the elements back now, for callers that must release before they report.
    void release() noexcept {
        if (elements_ != nullptr) {
            env_->ReleaseIntArrayElements(array_, elements_, mode_);
            elements_ = nullptr;
        }
    }

    // nullptr when the array was null or the host could not lend its elements.
    jint* data() const noexcept { return elements_; }

  private:
    void swap(IntElements& other) noexcept {
        std::swap(env_, other.env_);
        std::swap(array_, other.array_);
        std::swap(mode_, other.mode_);
        std::swap(elements_, other.elements_);
    }

    JNIEnv* env_ = nullptr;
    jintArray array_ = nullptr;
    jint mode_ = 0;
    jint* elements_ = nullptr;
};

} // namespace morlane
