# The reference Java class: compiled, packed as a jar, and its `javac -h` header generated so the
# bridge's exported names and signatures are checked by the compiler against the Java side.
find_package(Java 17 REQUIRED COMPONENTS Development)

# The JDK's platform-independent jni.h; jni_md.h comes from the JDK for the host, or from our
# own copy for 32-bit Windows (the JDK's suits only MSVC).
get_filename_component(_javac_real "${Java_JAVAC_EXECUTABLE}" REALPATH)
get_filename_component(_jdk_home "${_javac_real}/../.." ABSOLUTE)
set(MORLANE_JDK_HOME "${_jdk_home}" CACHE PATH "JDK whose jni.h the bridge is built against")
if(WIN32)
  set(MORLANE_JNI_INCLUDE_DIRS "${CMAKE_SOURCE_DIR}/cmake/jni-win32" "${MORLANE_JDK_HOME}/include")
else()
  set(MORLANE_JNI_INCLUDE_DIRS "${MORLANE_JDK_HOME}/include" "${MORLANE_JDK_HOME}/include/linux")
endif()

set(MORLANE_JAVA_CLASSES "${CMAKE_BINARY_DIR}/java/classes")
set(MORLANE_JNI_HEADER_DIR "${CMAKE_BINARY_DIR}/java/include")
set(MORLANE_JAR "${CMAKE_BINARY_DIR}/java/brenmoor.jar")
set(_brenmoor_src "${CMAKE_SOURCE_DIR}/java/lathwork/Brenmoor.java")

add_custom_command(
  OUTPUT "${MORLANE_JNI_HEADER_DIR}/lathwork_Brenmoor.h" "${MORLANE_JAR}"
  COMMAND "${Java_JAVAC_EXECUTABLE}" --release 8 -Xlint:-options -d "${MORLANE_JAVA_CLASSES}"
          -h "${MORLANE_JNI_HEADER_DIR}" "${_brenmoor_src}"
  COMMAND "${Java_JAR_EXECUTABLE}" cf "${MORLANE_JAR}" -C "${MORLANE_JAVA_CLASSES}" lathwork
  DEPENDS "${_brenmoor_src}"
  COMMENT "Compiling lathwork.Brenmoor and generating its JNI header"
  VERBATIM)
add_custom_target(morlane_java DEPENDS "${MORLANE_JNI_HEADER_DIR}/lathwork_Brenmoor.h" "${MORLANE_JAR}")
