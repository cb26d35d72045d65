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
# The classes alone, for the build's own programs and tests, which name the bridge's folder with
# java.library.path; the release jar with every native in it is made from them afterwards
# (scripts/release-jar.sh), as are the sources and Javadoc jars here.
set(MORLANE_JAR "${_java_dir}/brenmoor-${PROJECT_VERSION}.jar")
set(MORLANE_SOURCES_JAR "${_java_dir}/morlane-${PROJECT_VERSION}-sources.jar")
set(MORLANE_JAVADOC_JAR "${_java_dir}/morlane-${PROJECT_VERSION}-javadoc.jar")
set(MORLANE_JAVADOC_DIR "${_java_dir}/javadoc")
# module-info.class, compiled apart for Java 9 (everything else stays Java 8).
set(MORLANE_MODULE_INFO "${_java_dir}/module/module-info.class")
set(MORLANE_MANIFEST "${_java_dir}/MANIFEST.MF")

set(_java_src "${CMAKE_SOURCE_DIR}/java")
set(_java_sources
  "${_java_src}/lathwork/Brenmoor.java"
  "${_java_src}/morlane/BridgeException.java"
  "${_java_src}/morlane/CallRecord.java"
  "${_java_src}/morlane/FailureKind.java"
  "${_java_src}/morlane/LoadMode.java"
  "${_java_src}/morlane/FieldCheck.java"
  "${_java_src}/morlane/DataAccess.java"
  "${_java_src}/morlane/MachineCheck.java"
  "${_java_src}/morlane/NativeLoader.java"
  "${_java_src}/morlane/PlcLink.java"
  "${_java_src}/morlane/package-info.java"
  "${_java_src}/lathwork/package-info.java")
set(_module_info "${_java_src}/module-info.java")
set(_repro_jar "${CMAKE_SOURCE_DIR}/cmake/reproducible-jar.sh")

# Created-By is given so that the jar tool does not write its own JDK's version into it.
file(WRITE "${MORLANE_MANIFEST}.in" "Manifest-Version: 1.0
Created-By: morlane ${PROJECT_VERSION}
Implementation-Title: morlane
Implementation-Version: ${PROJECT_VERSION}
Specification-Title: lathwork.Brenmoor
")
configure_file("${MORLANE_MANIFEST}.in" "${MORLANE_MANIFEST}" COPYONLY)
# The version the loader names its cache folder by, as a resource of its own: under an uber-jar or
# jlink no manifest of ours is there to read it from.
file(WRITE "${_java_dir}/version.in" "${PROJECT_VERSION}\n")
configure_file("${_java_dir}/version.in" "${_java_dir}/version" COPYONLY)

# Java 8 class files, so any JVM from 8 on can load the jar; -parameters keeps argument names for
# tools and IDEs that show them.
add_custom_command(
  OUTPUT "${MORLANE_JNI_HEADER_DIR}/lathwork_Brenmoor.h" "${MORLANE_JNI_HEADER_DIR}/morlane_CallRecord.h"
         "${MORLANE_JAR}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${MORLANE_JAVA_CLASSES}"
  COMMAND "${Java_JAVAC_EXECUTABLE}" --release 8 -Xlint:all -Xlint:-options -Werror -parameters
          -encoding UTF-8 -d "${MORLANE_JAVA_CLASSES}" -h "${MORLANE_JNI_HEADER_DIR}" ${_java_sources}
  COMMAND "${CMAKE_COMMAND}" -E copy "${_java_dir}/version" "${MORLANE_JAVA_CLASSES}/morlane/version"
  COMMAND "${Java_JAR_EXECUTABLE}" cfm "${MORLANE_JAR}" "${MORLANE_MANIFEST}"
          -C "${MORLANE_JAVA_CLASSES}" lathwork -C "${MORLANE_JAVA_CLASSES}" morlane
  DEPENDS ${_java_sources} "${MORLANE_MANIFEST}" "${_java_dir}/version"
  COMMENT "Compiling lathwork.Brenmoor and the morlane package, generating their JNI headers"
  VERBATIM)
# A Java 8 JVM ignores module-info.class, a later one on the module path reads it; javac needs
# the packages' sources beside it to check what it exports.
add_custom_command(
  OUTPUT "${MORLANE_MODULE_INFO}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_java_dir}/module"
  COMMAND "${Java_JAVAC_EXECUTABLE}" --release 9 -Xlint:all -Werror -encoding UTF-8
          -d "${_java_dir}/module" "${_module_info}" ${_java_sources}
  DEPENDS ${_java_sources} "${_module_info}"
  COMMENT "Compiling the module descriptor"
  VERBATIM)
add_custom_target(morlane_java DEPENDS "${MORLANE_JNI_HEADER_DIR}/lathwork_Brenmoor.h"
                                       "${MORLANE_JNI_HEADER_DIR}/morlane_CallRecord.h" "${MORLANE_JAR}"
                                       "${MORLANE_MODULE_INFO}")

add_custom_command(
  OUTPUT "${MORLANE_SOURCES_JAR}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_java_dir}/sources"
  COMMAND "${CMAKE_COMMAND}" -E copy_directory "${_java_src}" "${_java_dir}/sources"
  COMMAND bash "${_repro_jar}" "${MORLANE_SOURCES_JAR}" "${MORLANE_MANIFEST}" "${_java_dir}/sources"
  DEPENDS ${_java_sources} "${_module_info}" "${MORLANE_MANIFEST}" "${_repro_jar}"
  COMMENT "Packing the Java sources"
  VERBATIM)

add_custom_command(
  OUTPUT "${MORLANE_JAVADOC_JAR}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${MORLANE_JAVADOC_DIR}"
  COMMAND "${Java_JAVADOC_EXECUTABLE}" --release 8 -quiet -Xdoclint:all -Werror -encoding UTF-8
          -docencoding UTF-8 -charset UTF-8 -notimestamp
          -windowtitle "morlane ${PROJECT_VERSION}" -doctitle "morlane ${PROJECT_VERSION}"
          -d "${MORLANE_JAVADOC_DIR}" -sourcepath "${_java_src}" lathwork morlane
  COMMAND bash "${_repro_jar}" "${MORLANE_JAVADOC_JAR}" "${MORLANE_MANIFEST}" "${MORLANE_JAVADOC_DIR}"
  DEPENDS ${_java_sources} "${MORLANE_MANIFEST}" "${_repro_jar}"
  COMMENT "Building the Javadoc"
  VERBATIM)
add_custom_target(morlane_java_docs ALL DEPENDS "${MORLANE_SOURCES_JAR}" "${MORLANE_JAVADOC_JAR}")
