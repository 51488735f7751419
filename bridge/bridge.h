// JNI conventions of libvarno, the native side of com.varno.Native: the guards every export
// uses for strings, local references and arrays, handle conversion and exception throwing.
//
// Ownership
// - Handles: a cipher context or an RSA public key travels to Java as a `long` holding its
//   address. Java owns it and gives it back to CIPHERfree / RSAPUBLICKEYfree exactly once;
//   the library keeps no table of handles. An RSA handle of -1 means "no key". Icon handles
//   are consumed by SHELLgetIconBits; item identifier lists stay the client's.
// - Strings arrive as Java String and are read in modified UTF-8 through JniUtf; arrays are
//   reached through JniCritical. Both are released before the export returns, on every
//   path. Every local reference the library makes beyond its result is held in a
//   JniLocal, so loops and callbacks never fill the VM's local frame.
// - Results (new strings and arrays) are created by the export and owned by Java.
// - The library owns, for the life of the process: the lock array of Java monitors and the
//   Java VM pointer set by initMT (locks.h); through the platform layer, the single-instance
//   lock once VARNOisRunning has taken it, and the window-system library once loaded.
//
// How failures reach Java
// - The library's own code never throws C++ exceptions across the JNI boundary. An export
//   answers its failure value (null, false, 0 or -1) and, only where the export's contract
//   names one, leaves a Java exception pending through jni_throw, never while an array is
//   pinned (no JNI call may happen inside a critical region).
// - Offsets and lengths are checked against the Java arrays before any native code touches
//   them: the cipher exports throw ArrayIndexOutOfBoundsException (they have no failure
//   value), RSA encryption answers -1.
// - A failed VM service (FindClass, NewByteArray, GetStringUTFChars...) leaves the VM's own
//   exception pending; the export then answers its failure value without adding another.
// - Codes of the protocol and the utility library are converted at this boundary only.
//
// Names: every export is declared by javac's header for com.varno.Native and defined
// extern "C", so a definition whose signature drifts from the Java declaration does not
// compile; exports.map lets only Java_com_varno_Native_* out of the library.
//
// Threads: any Java thread may call any export; the guards are per call. No export locks
// anything of its own.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>

// Leaves `class_name` (a JNI class name such as "java/io/IOException") pending with `text`.
// An exception already pending is cleared first, so the new one replaces it. When the class
// cannot be found the VM's own lookup exception stands instead.
void jni_throw(JNIEnv* env, const char* class_name, const char* text);

// The exception texts shared by more than one export.
inline constexpr const char kNullPointerException[] = "java/lang/NullPointerException";
inline constexpr const char kOutOfMemoryError[] = "java/lang/OutOfMemoryError";
inline constexpr const char kIndexOutOfBoundsException[] =
    "java/lang/ArrayIndexOutOfBoundsException";
inline constexpr const char kTextMemoryExhausted[] = "memory exhausted";
inline constexpr const char kTextOutOfRange[] = "array offset or length out of range";

// Whether [offset, offset + length) lies inside an array of `array_length` elements.
// Negative offsets or lengths never fit.
inline bool jni_range_fits(jsize array_length, int64_t offset, int64_t length) {
  return offset >= 0 && length >= 0 && offset <= array_length && length <= array_length - offset;
}

// Native object <-> Java long. Addresses are widened with their sign, as a 32-bit build
// hands them to the client.
inline jlong handle_from_pointer(const void* pointer) {
  return static_cast<jlong>(reinterpret_cast<intptr_t>(pointer));
}
template <typename T>
T* handle_to_pointer(jlong handle) {
  return reinterpret_cast<T*>(static_cast<intptr_t>(handle));
}

// A local reference deleted when the guard leaves scope. Move-only.
template <typename T = jobject>
class JniLocal {
 public:
  JniLocal(JNIEnv* env, T ref) : env_(env), ref_(ref) {}
  ~JniLocal() { reset(); }
  JniLocal(JniLocal&& other) noexcept : env_(other.env_), ref_(other.release()) {}
  JniLocal& operator=(JniLocal&& other) noexcept {
    if (this != &other) {
      reset(other.release());
      env_ = other.env_;
    }
    return *this;
  }
  JniLocal(const JniLocal&) = delete;
  JniLocal& operator=(const JniLocal&) = delete;

  T get() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }
  // Hands the reference to the caller (typically as the export's result).
  T release() {
    T ref = ref_;
    ref_ = nullptr;
    return ref;
  }
  void reset(T ref = nullptr) {
    if (ref_ != nullptr) env_->DeleteLocalRef(ref_);
    ref_ = ref;
  }

 private:
  JNIEnv* env_;
  T ref_;
};

// The modified UTF-8 form of a Java string, released when the guard leaves scope. A null
// string gives is_null(); a VM that cannot provide the text gives failed() with its
// OutOfMemoryError pending.
class JniUtf {
 public:
  JniUtf(JNIEnv* env, jstring string);
  ~JniUtf();
  JniUtf(const JniUtf&) = delete;
  JniUtf& operator=(const JniUtf&) = delete;

  bool is_null() const { return string_ == nullptr; }
  bool failed() const { return string_ != nullptr && chars_ == nullptr; }
  // NUL-terminated; null when is_null() or failed().
  const char* c_str() const { return chars_; }
  // Byte length of the modified UTF-8 form, without the terminator.
  size_t size() const { return size_; }

 private:
  JNIEnv* env_;
  jstring string_;
  const char* chars_ = nullptr;
  size_t size_ = 0;
};

// Critical access to a primitive array's elements, in two steps because no other JNI call
// may happen while any array of the thread is pinned: construct every guard first (that
// reads the lengths and lets the caller check ranges and throw), then pin() each one and do
// only native work on the bytes until the guards leave scope. Pinning several arrays, or
// one array twice, is allowed. `writes_back` false releases with JNI_ABORT: the elements
// were only read, so a copy need not be written back.
class JniCritical {
 public:
  JniCritical(JNIEnv* env, jarray array, bool writes_back);
  ~JniCritical();
  JniCritical(const JniCritical&) = delete;
  JniCritical& operator=(const JniCritical&) = delete;

  bool is_null() const { return array_ == nullptr; }
  // 0 for a null array.
  jsize length() const { return length_; }
  // The elements, or null when the array is null or the VM cannot pin it (its exception
  // is then pending). An empty array answers a valid address that must not be read.
  uint8_t* pin();

 private:
  JNIEnv* env_;
  jarray array_;
  jsize length_ = 0;
  void* elements_ = nullptr;
  bool writes_back_;
};
