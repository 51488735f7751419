#include "bridge/bridge.h"

void jni_throw(JNIEnv* env, const char* class_name, const char* text) {
  if (env->ExceptionCheck()) env->ExceptionClear();
  JniLocal<jclass> cls(env, env->FindClass(class_name));
  if (!cls) return;  // the VM's NoClassDefFoundError stands
  env->ThrowNew(cls.get(), text);
}

JniUtf::JniUtf(JNIEnv* env, jstring string) : env_(env), string_(string) {
  if (string_ == nullptr) return;
  size_ = static_cast<size_t>(env_->GetStringUTFLength(string_));
  chars_ = env_->GetStringUTFChars(string_, nullptr);
}

JniUtf::~JniUtf() {
  if (chars_ != nullptr) env_->ReleaseStringUTFChars(string_, chars_);
}

JniCritical::JniCritical(JNIEnv* env, jarray array, bool writes_back)
    : env_(env), array_(array), writes_back_(writes_back) {
  if (array_ != nullptr) length_ = env_->GetArrayLength(array_);
}

uint8_t* JniCritical::pin() {
  // An empty array has no elements to pin; a stand-in address keeps callers from telling
  // "nothing to read" apart from "could not pin".
  static uint8_t empty;
  if (array_ == nullptr) return nullptr;
  if (length_ == 0) return &empty;
  if (elements_ == nullptr) elements_ = env_->GetPrimitiveArrayCritical(array_, nullptr);
  return static_cast<uint8_t*>(elements_);
}

JniCritical::~JniCritical() {
  if (elements_ != nullptr) {
    env_->ReleasePrimitiveArrayCritical(array_, elements_, writes_back_ ? 0 : JNI_ABORT);
  }
}
