// A stand-in for the JVM's side of JNI, for what a real VM cannot easily show: every borrow given
// back on every path, the order of host calls, a host function that fails, and a JNI call made
// over a pending exception.
//
// The function table is value-initialised, so a host function the fake does not provide (the
// array element borrows among them: the bridge must use the region calls) is a null pointer and
// a bridge that calls it crashes at once instead of jumping into garbage. Text borrows are
// copies, as on a copying JVM: a release that never comes leaves the borrow outstanding.
#pragma once

#include <jni.h>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fakejni {

// The host functions the fake provides, in the order of the JNI function table.
#define FAKEJNI_HOSTS(X)                                                                           \
    X(FindClass)                                                                                   \
    X(ExceptionOccurred)                                                                           \
    X(ExceptionClear)                                                                              \
    X(DeleteLocalRef)                                                                              \
    X(NewStringUTF)                                                                                \
    X(GetStringUTFChars)                                                                           \
    X(ReleaseStringUTFChars)                                                                       \
    X(GetArrayLength)                                                                              \
    X(NewObjectArray)                                                                              \
    X(SetObjectArrayElement)                                                                       \
    X(NewIntArray)                                                                                 \
    X(SetIntArrayRegion)                                                                           \
    X(GetIntArrayRegion)                                                                           \
    X(NewString)                                                                                   \
    X(ExceptionCheck)                                                                              \
    X(GetStaticMethodID)                                                                           \
    X(CallStaticObjectMethod)

#define FAKEJNI_HOST_ENUM(name) name,
enum class Host { FAKEJNI_HOSTS(FAKEJNI_HOST_ENUM) };
#undef FAKEJNI_HOST_ENUM
constexpr std::size_t kHostCount = static_cast<std::size_t>(Host::CallStaticObjectMethod) + 1;

const char* host_name(Host host) noexcept;

class FakeJvm {
  public:
    FakeJvm();
    ~FakeJvm();
    FakeJvm(const FakeJvm&) = delete;
    FakeJvm& operator=(const FakeJvm&) = delete;

    JNIEnv* env() noexcept { return &env_.env; }

    // Java objects. A string holds its modified UTF-8 bytes as given, with no conversion.
    jstring string(const std::string& modified_utf8);
    jintArray int_array(const std::vector<jint>& values);
    std::string text(jstring string) const;
    std::vector<jint> ints(jintArray array) const;
    // The texts of an array of strings; "<null>" for an element never set.
    std::vector<std::string> strings(jobjectArray array) const;

    // The next call of `host` after `succeed_first` successful ones fails: a pointer result is
    // null and nothing happens. With a non-empty `exception` (a class name) it is left pending,
    // as the JVM does for an OutOfMemoryError.
    void fail(Host host, int succeed_first = 0, const std::string& exception = "");

    // Every static method then exists and answers `text` as a new string; until then none exists
    // (GetStaticMethodID leaves NoSuchMethodError pending).
    void answer_static_calls(const std::string& text) { static_answer_ = text; }

    void clear_exception() { pending_.clear(); }
    bool exception_pending() const noexcept { return !pending_.empty(); }
    const std::string& pending_exception() const noexcept { return pending_; }

    // Texts borrowed and not yet given back.
    std::size_t outstanding() const noexcept { return borrows_.size(); }
    // Every host call in order, and how often `host` was called.
    const std::vector<Host>& calls() const noexcept { return calls_; }
    int count(Host host) const;
    // Breaches of the JNI rules, each described in one line (empty when the bridge behaved).
    const std::vector<std::string>& violations() const noexcept { return violations_; }
    // Forgets the call log (not the borrows).
    void forget_calls();

    // Runs at the start of every host call, before the fake acts.
    void set_observer(std::function<void(Host)> observer) { observer_ = std::move(observer); }

    // Called by the function table; not for tests.
    struct Impl;

  private:
    enum class Kind { String, IntArray, Throwable, Class, ObjectArray };
    struct Object;
    struct Plan {
        bool armed = false;
        int succeed_first = 0;
        std::string exception;
    };
    struct Env {
        JNIEnv env;
        FakeJvm* jvm;
    };

    // Logs the call and checks the pending-exception rule; true if the call is to fail.
    bool enter(Host host);
    // The live object `handle` names if it is of `kind`; otherwise records a violation.
    Object* object(const void* handle, Kind kind, Host host);
    Object* make(Kind kind);
    void violation(std::string what);

    Env env_;
    std::map<const void*, std::unique_ptr<Object>> objects_;
    // Each borrowed text, by the pointer handed out, with the string it came from.
    std::map<const char*, std::pair<const Object*, std::unique_ptr<char[]>>> borrows_;
    Plan plans_[kHostCount];
    std::string pending_;
    std::vector<Host> calls_;
    std::vector<std::string> violations_;
    std::function<void(Host)> observer_;
    std::optional<std::string> static_answer_;
};

} // namespace fakejni
