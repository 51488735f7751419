// Names and texts of the KFS codes, and validation of account fields.
#include <cctype>
#include <cstdint>

#include "bridge/bridge.h"
#include "com_varno_Native.h"
#include "protocol/codes.h"

// The code names are constant texts (plain ASCII, hence valid modified UTF-8).

extern "C" JNIEXPORT jstring JNICALL Java_com_varno_Native_KFSerrorName(JNIEnv* env, jclass,
                                                                        jint code) {
  return env->NewStringUTF(kfs_error_name(code));
}

extern "C" JNIEXPORT jstring JNICALL Java_com_varno_Native_KFStypeName(JNIEnv* env, jclass,
                                                                       jint code) {
  return env->NewStringUTF(kfs_type_name(code));
}

extern "C" JNIEXPORT jstring JNICALL Java_com_varno_Native_KFSmgntTypeName(JNIEnv* env, jclass,
                                                                           jint code) {
  return env->NewStringUTF(kfs_mgnt_type_name(code));
}

extern "C" JNIEXPORT jstring JNICALL Java_com_varno_Native_KFSerrorDescription(JNIEnv* env, jclass,
                                                                               jint code) {
  return env->NewStringUTF(kfs_error_description(code));
}

// Lengths below are byte lengths of the modified UTF-8 form; a null string is invalid.

extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_KFSisValidUsername(JNIEnv* env, jclass,
                                                                               jstring value) {
  JniUtf text(env, value);
  if (text.c_str() == nullptr || text.size() < 4 || text.size() > 20) return JNI_FALSE;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text.c_str()[i]);
    if (isalnum(c) == 0 && c != '_') return JNI_FALSE;
  }
  return JNI_TRUE;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_KFSisValidPassword(JNIEnv* env, jclass,
                                                                               jstring value) {
  JniUtf text(env, value);
  return text.c_str() != nullptr && text.size() >= 6 && text.size() <= 20 ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_KFSisValidFirstname(JNIEnv*, jclass,
                                                                                jstring value) {
  return value != nullptr ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_KFSisValidLastname(JNIEnv*, jclass,
                                                                               jstring value) {
  return value != nullptr ? JNI_TRUE : JNI_FALSE;
}

// Phone and fax numbers are always accepted; both names are one entry point, and neither
// argument is read.
extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_KFSisValidPhone(JNIEnv*, jclass,
                                                                            jstring, jint) {
  return JNI_TRUE;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_KFSisValidFax(JNIEnv*, jclass, jstring,
                                                                          jint)
    __attribute__((alias("Java_com_varno_Native_KFSisValidPhone"), nothrow));

extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_KFSisValidHisnum(JNIEnv*, jclass,
                                                                             jint count) {
  return static_cast<uint8_t>(count) != 0 ? JNI_TRUE : JNI_FALSE;
}
