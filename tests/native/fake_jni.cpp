#include "fake_jni.h"

#include <algorithm>
#include <cstring>

namespace fakejni {

struct FakeJvm::Object {
    Kind kind;
    std::string bytes;                 // String: modified UTF-8; Throwable: class name
    std::vector<jint> ints;            // IntArray
    std::vector<const void*> elements; // ObjectArray
    bool deleted = false;              // a local reference the bridge deleted
};

const char* host_name(Host host) noexcept {
#define FAKEJNI_HOST_NAME(name) #name,
    static const char* const names[] = {FAKEJNI_HOSTS(FAKEJNI_HOST_NAME)};
#undef FAKEJNI_HOST_NAME
    return names[static_cast<std::size_t>(host)];
}

// The function table's entries: each finds its FakeJvm through the JNIEnv it is handed.
struct FakeJvm::Impl {
    static FakeJvm& jvm(JNIEnv* env) { return *reinterpret_cast<Env*>(env)->jvm; }

    static jthrowable JNICALL ExceptionOccurred(JNIEnv* env) {
        FakeJvm& self = jvm(env);
        self.enter(Host::ExceptionOccurred);
        if (self.pending_.empty()) {
            return nullptr;
        }
        // A fresh local reference each time, as the JVM hands out.
        Object* thrown = self.make(Kind::Throwable);
        thrown->bytes = self.pending_;
        return reinterpret_cast<jthrowable>(thrown);
    }

    static jboolean JNICALL ExceptionCheck(JNIEnv* env) {
        FakeJvm& self = jvm(env);
        self.enter(Host::ExceptionCheck);
        return self.pending_.empty() ? JNI_FALSE : JNI_TRUE;
    }

    static void JNICALL ExceptionClear(JNIEnv* env) {
        FakeJvm& self = jvm(env);
        self.enter(Host::ExceptionClear);
        self.pending_.clear();
    }

    static void JNICALL DeleteLocalRef(JNIEnv* env, jobject ref) {
        FakeJvm& self = jvm(env);
        self.enter(Host::DeleteLocalRef);
        if (ref == nullptr) {
            return;
        }
        auto found = self.objects_.find(ref);
        if (found == self.objects_.end() || found->second->deleted) {
            self.violation("DeleteLocalRef of a reference that is not live");
            return;
        }
        found->second->deleted = true;
    }

    static jstring JNICALL NewStringUTF(JNIEnv* env, const char* utf) {
        FakeJvm& self = jvm(env);
        if (self.enter(Host::NewStringUTF)) {
            return nullptr;
        }
        if (utf == nullptr) {
            self.violation("NewStringUTF of a null pointer");
            return nullptr;
        }
        Object* made = self.make(Kind::String);
        made->bytes = utf;
        return reinterpret_cast<jstring>(made);
    }

    static const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring string, jboolean* is_copy) {
        FakeJvm& self = jvm(env);
        const bool fails = self.enter(Host::GetStringUTFChars);
        Object* source = self.object(string, Kind::String, Host::GetStringUTFChars);
        if (fails || source == nullptr) {
            return nullptr;
        }
        auto copy = std::make_unique<char[]>(source->bytes.size() + 1);
        std::memcpy(copy.get(), source->bytes.c_str(), source->bytes.size() + 1);
        const char* chars = copy.get();
        self.borrows_.emplace(chars, std::make_pair(source, std::move(copy)));
        if (is_copy != nullptr) {
            *is_copy = JNI_TRUE;
        }
        return chars;
    }

    static void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring string, const char* chars) {
        FakeJvm& self = jvm(env);
        self.enter(Host::ReleaseStringUTFChars);
        Object* owner = self.object(string, Kind::String, Host::ReleaseStringUTFChars);
        auto found = self.borrows_.find(chars);
        if (found == self.borrows_.end()) {
            self.violation("ReleaseStringUTFChars of a pointer that is not a borrowed text");
            return;
        }
        if (found->second.first != owner) {
            self.violation("ReleaseStringUTFChars names another string than the text's own");
        }
        self.borrows_.erase(found);
    }

    static jsize JNICALL GetArrayLength(JNIEnv* env, jarray array) {
        FakeJvm& self = jvm(env);
        self.enter(Host::GetArrayLength);
        Object* source = self.object(array, Kind::IntArray, Host::GetArrayLength);
        return source == nullptr ? 0 : static_cast<jsize>(source->ints.size());
    }

    static jclass JNICALL FindClass(JNIEnv* env, const char* name) {
        FakeJvm& self = jvm(env);
        if (self.enter(Host::FindClass)) {
            return nullptr;
        }
        Object* made = self.make(Kind::Class);
        made->bytes = name;
        return reinterpret_cast<jclass>(made);
    }

    static jobjectArray JNICALL NewObjectArray(JNIEnv* env, jsize length, jclass element_class,
                                               jobject initial) {
        FakeJvm& self = jvm(env);
        const bool fails = self.enter(Host::NewObjectArray);
        if (self.object(element_class, Kind::Class, Host::NewObjectArray) == nullptr || fails) {
            return nullptr;
        }
        if (length < 0) {
            self.pending_ = "java/lang/NegativeArraySizeException";
            return nullptr;
        }
        Object* made = self.make(Kind::ObjectArray);
        made->elements.assign(static_cast<std::size_t>(length), initial);
        return reinterpret_cast<jobjectArray>(made);
    }

    static void JNICALL SetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index,
                                              jobject value) {
        FakeJvm& self = jvm(env);
        self.enter(Host::SetObjectArrayElement);
        Object* target = self.object(array, Kind::ObjectArray, Host::SetObjectArrayElement);
        if (target == nullptr) {
            return;
        }
        if (index < 0 || static_cast<std::size_t>(index) >= target->elements.size()) {
            self.violation("SetObjectArrayElement past the array's end");
            return;
        }
        // Stored as the object itself: the local reference may be deleted right after.
        target->elements[static_cast<std::size_t>(index)] = value;
    }

    static jintArray JNICALL NewIntArray(JNIEnv* env, jsize length) {
        FakeJvm& self = jvm(env);
        if (self.enter(Host::NewIntArray)) {
            return nullptr;
        }
        if (length < 0) {
            self.pending_ = "java/lang/NegativeArraySizeException";
            return nullptr;
        }
        Object* made = self.make(Kind::IntArray);
        made->ints.assign(static_cast<std::size_t>(length), 0);
        return reinterpret_cast<jintArray>(made);
    }

    static void JNICALL SetIntArrayRegion(JNIEnv* env, jintArray array, jsize start, jsize length,
                                          const jint* values) {
        FakeJvm& self = jvm(env);
        if (self.enter(Host::SetIntArrayRegion)) {
            return;
        }
        Object* target = self.object(array, Kind::IntArray, Host::SetIntArrayRegion);
        if (target == nullptr) {
            return;
        }
        const long long size = static_cast<long long>(target->ints.size());
        if (start < 0 || length < 0 || static_cast<long long>(start) + length > size) {
            self.violation("SetIntArrayRegion outside the array");
            self.pending_ = "java/lang/ArrayIndexOutOfBoundsException";
            return;
        }
        if (length > 0 && values == nullptr) {
            self.violation("SetIntArrayRegion from a null buffer");
            return;
        }
        std::copy(values, values + length, target->ints.begin() + start);
    }

    static void JNICALL GetIntArrayRegion(JNIEnv* env, jintArray array, jsize start, jsize length,
                                          jint* into) {
        FakeJvm& self = jvm(env);
        if (self.enter(Host::GetIntArrayRegion)) {
            return;
        }
        Object* source = self.object(array, Kind::IntArray, Host::GetIntArrayRegion);
        if (source == nullptr) {
            return;
        }
        const long long size = static_cast<long long>(source->ints.size());
        if (start < 0 || length < 0 || static_cast<long long>(start) + length > size) {
            self.violation("GetIntArrayRegion outside the array");
            self.pending_ = "java/lang/ArrayIndexOutOfBoundsException";
            return;
        }
        if (length > 0 && into == nullptr) {
            self.violation("GetIntArrayRegion into a null buffer");
            return;
        }
        std::copy(source->ints.begin() + start, source->ints.begin() + start + length, into);
    }

    static jstring JNICALL NewString(JNIEnv* env, const jchar* units, jsize length) {
        FakeJvm& self = jvm(env);
        if (self.enter(Host::NewString)) {
            return nullptr;
        }
        if (length < 0 || (length > 0 && units == nullptr)) {
            self.violation("NewString of a bad buffer");
            return nullptr;
        }
        Object* made = self.make(Kind::String);
        // Kept as the JVM would hand it back: modified UTF-8, U+0000 as C0 80.
        for (jsize i = 0; i < length; ++i) {
            const unsigned unit = units[i];
            if (unit != 0 && unit < 0x80) {
                made->bytes += static_cast<char>(unit);
            } else if (unit < 0x800) {
                made->bytes += static_cast<char>(0xC0 | (unit >> 6));
                made->bytes += static_cast<char>(0x80 | (unit & 0x3F));
            } else {
                made->bytes += static_cast<char>(0xE0 | (unit >> 12));
                made->bytes += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
                made->bytes += static_cast<char>(0x80 | (unit & 0x3F));
            }
        }
        return reinterpret_cast<jstring>(made);
    }

    static jmethodID JNICALL GetStaticMethodID(JNIEnv* env, jclass owner, const char*,
                                               const char*) {
        FakeJvm& self = jvm(env);
        const bool fails = self.enter(Host::GetStaticMethodID);
        if (self.object(owner, Kind::Class, Host::GetStaticMethodID) == nullptr || fails) {
            return nullptr;
        }
        if (!self.static_answer_) {
            self.pending_ = "java/lang/NoSuchMethodError";
            return nullptr;
        }
        return reinterpret_cast<jmethodID>(owner);
    }

    // JNIEnv's C++ CallStaticObjectMethod goes through the va_list form.
    static jobject JNICALL CallStaticObjectMethodV(JNIEnv* env, jclass owner, jmethodID, va_list) {
        FakeJvm& self = jvm(env);
        if (self.enter(Host::CallStaticObjectMethod) ||
            self.object(owner, Kind::Class, Host::CallStaticObjectMethod) == nullptr) {
            return nullptr;
        }
        return self.string(self.static_answer_.value_or(""));
    }

    static const JNINativeInterface_* table() {
        static const JNINativeInterface_ functions = [] {
            JNINativeInterface_ t{};
            t.FindClass = &FindClass;
            t.NewObjectArray = &NewObjectArray;
            t.SetObjectArrayElement = &SetObjectArrayElement;
            t.ExceptionOccurred = &ExceptionOccurred;
            t.ExceptionCheck = &ExceptionCheck;
            t.ExceptionClear = &ExceptionClear;
            t.DeleteLocalRef = &DeleteLocalRef;
            t.NewStringUTF = &NewStringUTF;
            t.GetStringUTFChars = &GetStringUTFChars;
            t.ReleaseStringUTFChars = &ReleaseStringUTFChars;
            t.GetArrayLength = &GetArrayLength;
            t.NewIntArray = &NewIntArray;
            t.SetIntArrayRegion = &SetIntArrayRegion;
            t.GetIntArrayRegion = &GetIntArrayRegion;
            t.NewString = &NewString;
            t.GetStaticMethodID = &GetStaticMethodID;
            t.CallStaticObjectMethodV = &CallStaticObjectMethodV;
            return t;
        }();
        return &functions;
    }
};

FakeJvm::FakeJvm() : env_{JNIEnv{}, this} {
    env_.env.functions = Impl::table();
}

FakeJvm::~FakeJvm() = default;

jstring FakeJvm::string(const std::string& modified_utf8) {
    Object* made = make(Kind::String);
    made->bytes = modified_utf8;
    return reinterpret_cast<jstring>(made);
}

jintArray FakeJvm::int_array(const std::vector<jint>& values) {
    Object* made = make(Kind::IntArray);
    made->ints = values;
    return reinterpret_cast<jintArray>(made);
}

std::string FakeJvm::text(jstring string) const {
    auto found = objects_.find(string);
    if (found == objects_.end() || found->second->kind != Kind::String) {
        return "<not a string>";
    }
    return found->second->bytes;
}

std::vector<jint> FakeJvm::ints(jintArray array) const {
    auto found = objects_.find(array);
    if (found == objects_.end() || found->second->kind != Kind::IntArray) {
        return {};
    }
    return found->second->ints;
}

std::vector<std::string> FakeJvm::strings(jobjectArray array) const {
    std::vector<std::string> texts;
    auto found = objects_.find(array);
    if (found == objects_.end() || found->second->kind != Kind::ObjectArray) {
        return texts;
    }
    for (const void* element : found->second->elements) {
        texts.push_back(
            element == nullptr ? "<null>" : text(static_cast<jstring>(const_cast<void*>(element))));
    }
    return texts;
}

void FakeJvm::fail(Host host, int succeed_first, const std::string& exception) {
    plans_[static_cast<std::size_t>(host)] = Plan{true, succeed_first, exception};
}

int FakeJvm::count(Host host) const {
    int n = 0;
    for (Host call : calls_) {
        n += call == host ? 1 : 0;
    }
    return n;
}

void FakeJvm::forget_calls() {
    calls_.clear();
}

bool FakeJvm::enter(Host host) {
    calls_.push_back(host);
    if (observer_) {
        observer_(host);
    }
    const bool allowed_over_exception =
        host == Host::ExceptionOccurred || host == Host::ExceptionCheck ||
        host == Host::ExceptionClear || host == Host::DeleteLocalRef ||
        host == Host::ReleaseStringUTFChars;
    if (!pending_.empty() && !allowed_over_exception) {
        violation(std::string(host_name(host)) + " called while " + pending_ + " is pending");
    }
    Plan& plan = plans_[static_cast<std::size_t>(host)];
    if (!plan.armed) {
        return false;
    }
    if (plan.succeed_first > 0) {
        --plan.succeed_first;
        return false;
    }
    plan.armed = false;
    if (!plan.exception.empty()) {
        pending_ = plan.exception;
    }
    return true;
}

FakeJvm::Object* FakeJvm::object(const void* handle, Kind kind, Host host) {
    auto found = objects_.find(handle);
    if (handle == nullptr || found == objects_.end() || found->second->kind != kind ||
        found->second->deleted) {
        violation(std::string(host_name(host)) +
                  (handle == nullptr ? " given a null reference" : " given a bad reference"));
        return nullptr;
    }
    return found->second.get();
}

FakeJvm::Object* FakeJvm::make(Kind kind) {
    auto made = std::make_unique<Object>();
    made->kind = kind;
    Object* raw = made.get();
    objects_.emplace(raw, std::move(made));
    return raw;
}

void FakeJvm::violation(std::string what) {
    violations_.push_back(std::move(what));
}

} // namespace fakejni
