# Writes src/core/version.h below KELVRA_GENERATED_DIR from the project version.
# Included by the build, it takes the version of project(). Run as a script,
#   cmake -DKELVRA_SOURCE_DIR=<source> -DKELVRA_GENERATED_DIR=<folder> -P cmake/version_header.cmake
# it reads the version from the project() line, for tools that compile without configuring.
if(NOT KELVRA_SOURCE_DIR)
  set(KELVRA_SOURCE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
endif()
if(NOT PROJECT_VERSION)
  file(READ "${KELVRA_SOURCE_DIR}/CMakeLists.txt" kelvra_lists)
  if(NOT kelvra_lists MATCHES "project\\([A-Za-z_]+ VERSION ([0-9]+\\.[0-9]+\\.[0-9]+)")
    message(FATAL_ERROR "no project version in ${KELVRA_SOURCE_DIR}/CMakeLists.txt")
  endif()
  set(PROJECT_VERSION "${CMAKE_MATCH_1}")
endif()
string(REPLACE "." ";" kelvra_parts "${PROJECT_VERSION}")
list(GET kelvra_parts 0 KELVRA_VERSION_MAJOR)
list(GET kelvra_parts 1 KELVRA_VERSION_MINOR)
list(GET kelvra_parts 2 KELVRA_VERSION_PATCH)
set(KELVRA_VERSION "${PROJECT_VERSION}")
configure_file("${KELVRA_SOURCE_DIR}/src/core/version.h.in" "${KELVRA_GENERATED_DIR}/src/core/version.h" @ONLY)
# The Windows manifests carry it too; the resource files find them in the same folder.
foreach(kelvra_program kelvra-flash-tool kelvra-flash-cli)
  configure_file("${KELVRA_SOURCE_DIR}/resources/${kelvra_program}.manifest.in"
                 "${KELVRA_GENERATED_DIR}/${kelvra_program}.manifest" @ONLY)
endforeach()
