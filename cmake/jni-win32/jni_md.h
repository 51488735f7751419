/* The Windows machine-dependent part of the JNI headers, for cross-building varno.dll:
   Debian's JDKs ship only their own system's. Build-time only; the JVM's jni.h includes
   it. The calling convention and the integer widths are those of the Win32 JNI. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
