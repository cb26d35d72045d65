# 32-bit Linux (i386) flavour, built on x86-64 Linux with gcc -m32 (Debian: g++-multilib), for
# Debian's 32-bit JVM (openjdk-17-jre-headless:i386):
#
#   cmake -S . -B build/linux-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux-i386.cmake
#
# javac and jar come from the host's 64-bit JDK (the i386 JRE has none), and so do jni.h and
# jni_md.h, which size jlong by _LP64 and are otherwise the same for both word sizes.
#
# The native suite needs a 32-bit GoogleTest on CMAKE_PREFIX_PATH: Debian's libgtest-dev is
# x86-64 only. scripts/test-i386.sh builds one from /usr/src/googletest first.
#
# The JUnit launcher runs on the host's java; the child JVMs it starts, which load the bridge,
# run on MORLANE_CHILD_JAVA, the i386 java when it is installed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)

set(MORLANE_I386_JAVA_HOME /usr/lib/jvm/java-17-openjdk-i386 CACHE PATH
    "The 32-bit JRE whose java runs the child JVMs of the JUnit suite")
if(EXISTS "${MORLANE_I386_JAVA_HOME}/bin/java")
  set(MORLANE_CHILD_JAVA "${MORLANE_I386_JAVA_HOME}/bin/java" CACHE FILEPATH
      "java that runs the child JVMs loading the bridge")
  # Setting CMAKE_SYSTEM_NAME marks this as cross-compiling, which turns the JUnit suite off by
  # default; the 32-bit JVM runs right here, so keep it on.
  set(MORLANE_JVM_TESTS ON CACHE BOOL "Run the JUnit suite on this machine's JVM")
endif()
