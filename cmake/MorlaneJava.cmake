# The Java side: lathwork.Brenmoor and the morlane package, compiled into one versioned jar with
# their `javac -h` headers (so the bridge's exported names and signatures are checked by the
# compiler against the Java side), a sources jar, and the Javadoc as HTML and as a jar.
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

set(_java_dir "${CMAKE_BINARY_DIR}/java")
set(MORLANE_JAVA_CLASSES "${_java_dir}/classes")
set(MORLANE_JNI_HEADER_DIR "${_java_dir}/include")
set(MORLANE_JAR "${_java_dir}/brenmoor-${PROJECT_VERSION}.jar")
set(MORLANE_SOURCES_JAR "${_java_dir}/brenmoor-${PROJECT_VERSION}-sources.jar")
set(MORLANE_JAVADOC_JAR "${_java_dir}/brenmoor-${PROJECT_VERSION}-javadoc.jar")
set(MORLANE_JAVADOC_DIR "${_java_dir}/javadoc")

set(_java_src "${CMAKE_SOURCE_DIR}/java")
set(_java_sources
  "${_java_src}/lathwork/Brenmoor.java"
  "${_java_src}/morlane/BridgeException.java"
  "${_java_src}/morlane/CallRecord.java"
  "${_java_src}/morlane/DataAccess.java"
  "${_java_src}/morlane/PlcLink.java"
  "${_java_src}/morlane/package-info.java")

set(_manifest "${_java_dir}/MANIFEST.MF")
file(WRITE "${_manifest}.in" "Implementation-Title: morlane
Implementation-Version: ${PROJECT_VERSION}
Specification-Title: lathwork.Brenmoor
")
configure_file("${_manifest}.in" "${_manifest}" COPYONLY)

# Java 8 class files, so any JVM from 8 on can load the jar; -parameters keeps argument names for
# tools and IDEs that show them.
add_custom_command(
  OUTPUT "${MORLANE_JNI_HEADER_DIR}/lathwork_Brenmoor.h" "${MORLANE_JNI_HEADER_DIR}/morlane_CallRecord.h"
         "${MORLANE_JAR}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${MORLANE_JAVA_CLASSES}"
  COMMAND "${Java_JAVAC_EXECUTABLE}" --release 8 -Xlint:all -Xlint:-options -Werror -parameters
          -encoding UTF-8 -d "${MORLANE_JAVA_CLASSES}" -h "${MORLANE_JNI_HEADER_DIR}" ${_java_sources}
  COMMAND "${Java_JAR_EXECUTABLE}" cfm "${MORLANE_JAR}" "${_manifest}"
          -C "${MORLANE_JAVA_CLASSES}" lathwork -C "${MORLANE_JAVA_CLASSES}" morlane
  DEPENDS ${_java_sources} "${_manifest}"
  COMMENT "Compiling lathwork.Brenmoor and the morlane package, generating their JNI headers"
  VERBATIM)
add_custom_target(morlane_java DEPENDS "${MORLANE_JNI_HEADER_DIR}/lathwork_Brenmoor.h"
                                       "${MORLANE_JNI_HEADER_DIR}/morlane_CallRecord.h" "${MORLANE_JAR}")

add_custom_command(
  OUTPUT "${MORLANE_SOURCES_JAR}"
  COMMAND "${Java_JAR_EXECUTABLE}" cfm "${MORLANE_SOURCES_JAR}" "${_manifest}"
          -C "${_java_src}" lathwork -C "${_java_src}" morlane
  DEPENDS ${_java_sources} "${_manifest}"
  COMMENT "Packing the Java sources"
  VERBATIM)

option(MORLANE_JAVADOC "Build the Javadoc HTML and its jar" ON)
if(MORLANE_JAVADOC)
  add_custom_command(
    OUTPUT "${MORLANE_JAVADOC_JAR}"
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${MORLANE_JAVADOC_DIR}"
    COMMAND "${Java_JAVADOC_EXECUTABLE}" --release 8 -quiet -Xdoclint:all,-missing -Werror -encoding UTF-8
            -docencoding UTF-8 -charset UTF-8 -notimestamp
            -windowtitle "morlane ${PROJECT_VERSION}" -doctitle "morlane ${PROJECT_VERSION}"
            -d "${MORLANE_JAVADOC_DIR}" -sourcepath "${_java_src}" lathwork morlane
    COMMAND "${Java_JAR_EXECUTABLE}" cfm "${MORLANE_JAVADOC_JAR}" "${_manifest}"
            -C "${MORLANE_JAVADOC_DIR}" .
    DEPENDS ${_java_sources} "${_manifest}"
    COMMENT "Building the Javadoc"
    VERBATIM)
  add_custom_target(morlane_java_docs ALL DEPENDS "${MORLANE_SOURCES_JAR}" "${MORLANE_JAVADOC_JAR}")
else()
  add_custom_target(morlane_java_docs ALL DEPENDS "${MORLANE_SOURCES_JAR}")
endif()
