// Installation values, single instance and restart, shell and window services.
//
// Each of these arrives with the shell services (the utility library's volumes, walker,
// security attributes, exclusions, machine token and application key). Until then every
// export is present with its exact name and answers its failure value.
#include <cerrno>

#include "bridge/bridge.h"
#include "com_varno_Native.h"
#include "util/error.h"

namespace {

constexpr int kApplicationKeySize = 32;

}  // namespace

// Arrives with the shell services. An unreadable key answers 32 zero bytes, no exception.
extern "C" JNIEXPORT jbyteArray JNICALL Java_com_varno_Native_VARNOgetApplicationKey(JNIEnv* env,
                                                                                     jclass) {
  return env->NewByteArray(kApplicationKeySize);
}

// Arrives with the shell services.
extern "C" JNIEXPORT jbyteArray JNICALL Java_com_varno_Native_VARNOgetMachineToken(JNIEnv*,
                                                                                   jclass) {
  return nullptr;
}

// Arrives with the shell services. Answers as when the lock file cannot be opened.
extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_VARNOisRunning(JNIEnv*, jclass) {
  return JNI_TRUE;
}

// Arrives with the shell services.
extern "C" JNIEXPORT void JNICALL Java_com_varno_Native_VARNOrestart(JNIEnv*, jclass, jint) {}

// Arrives with the shell services.
extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_SHELLexecuteFile(JNIEnv*, jclass,
                                                                             jstring) {
  return JNI_FALSE;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jint JNICALL Java_com_varno_Native_SHELLgetBlockSize(JNIEnv*, jclass,
                                                                          jstring) {
  return 0;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jlong JNICALL Java_com_varno_Native_SHELLgetCTime(JNIEnv*, jclass, jstring) {
  return 0;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jlong JNICALL Java_com_varno_Native_SHELLlastAccessed(JNIEnv*, jclass,
                                                                           jstring) {
  return 0;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jbyteArray JNICALL Java_com_varno_Native_SHELLgetFSA(JNIEnv*, jclass,
                                                                          jstring) {
  return nullptr;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_SHELLsetFSA(JNIEnv*, jclass, jstring,
                                                                        jbyteArray) {
  return JNI_FALSE;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jintArray JNICALL Java_com_varno_Native_SHELLgetIconBits(JNIEnv*, jclass,
                                                                              jlong, jint) {
  return nullptr;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jlong JNICALL Java_com_varno_Native_SHELLgetIconFromPIDL(JNIEnv*, jclass,
                                                                              jlong, jboolean,
                                                                              jboolean) {
  return 0;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jlong JNICALL Java_com_varno_Native_SHELLgetIconFromPath(JNIEnv*, jclass,
                                                                              jstring, jboolean,
                                                                              jboolean) {
  return 0;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jobjectArray JNICALL Java_com_varno_Native_SHELLgetIgnorePaths(JNIEnv*,
                                                                                    jclass) {
  return nullptr;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_SHELLisIgnorePath(JNIEnv*, jclass,
                                                                              jstring, jboolean) {
  return JNI_FALSE;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jobjectArray JNICALL Java_com_varno_Native_SHELLgetVolumes(JNIEnv*, jclass) {
  return nullptr;
}

// Arrives with the shell services. Fails as a walk that cannot run.
extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_SHELLperformDirStat(JNIEnv* env, jclass,
                                                                                jstring, jobject,
                                                                                jobjectArray) {
  jni_throw(env, "java/io/IOException", error_text(ENOSYS));
  return JNI_FALSE;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jint JNICALL Java_com_varno_Native_WINUTILsetAlwaysOnTop(JNIEnv*, jclass,
                                                                              jstring, jboolean) {
  return 0;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jint JNICALL Java_com_varno_Native_WINUTILsetMaximized(JNIEnv*, jclass,
                                                                            jstring) {
  return 0;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jint JNICALL Java_com_varno_Native_WINUTILsetMinimized(JNIEnv*, jclass,
                                                                            jstring) {
  return 0;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jint JNICALL Java_com_varno_Native_WINUTILsetRestored(JNIEnv*, jclass,
                                                                           jstring) {
  return 0;
}

// Arrives with the shell services.
extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_WINUTILwindowExists(JNIEnv*, jclass,
                                                                                jstring) {
  return JNI_FALSE;
}
