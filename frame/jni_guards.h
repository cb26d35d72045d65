// Move-only guard for what the bridge borrows from the JVM. It gives its borrow back in its
// destructor, so no return path can forget a release; a null Java reference or a host that
// cannot lend is handled in the constructor and shows as an empty guard. (Arrays are never
// borrowed: the block forms copy exactly their elements with the region functions.)
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

} // namespace morlane
