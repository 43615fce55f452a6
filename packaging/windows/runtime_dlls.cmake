# Installs every DLL the given programs and plugins load, found as Windows would find it, in the
# install folder. Run at install time with
#   KELVRA_BINARIES       the programs
#   KELVRA_MODULES        the plugins
#   KELVRA_DLL_DIRS       the folders to look in (Qt's, the mingw runtime's)
#   KELVRA_OBJDUMP        the mingw objdump
#   KELVRA_STRIP          the mingw strip
#   KELVRA_WORK_DIR       a folder of the build for the look-up
# Windows' own DLLs are in none of the folders and stay unresolved.
#
# Windows names DLLs regardless of case and CMake looks them up in lower case, which finds no
# Qt5Core.dll on this file system: the look-up goes through lower-case links to the files.
set(links "${KELVRA_WORK_DIR}/dll-names")
file(REMOVE_RECURSE "${links}")
file(MAKE_DIRECTORY "${links}")
foreach(dir ${KELVRA_DLL_DIRS})
  file(GLOB dlls "${dir}/*.dll")
  foreach(dll ${dlls})
    get_filename_component(name "${dll}" NAME)
    string(TOLOWER "${name}" lower)
    if(NOT EXISTS "${links}/${lower}")
      file(CREATE_LINK "${dll}" "${links}/${lower}" SYMBOLIC)
    endif()
  endforeach()
endforeach()

set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND "${KELVRA_OBJDUMP}")
file(GET_RUNTIME_DEPENDENCIES
  EXECUTABLES ${KELVRA_BINARIES}
  MODULES ${KELVRA_MODULES}
  DIRECTORIES "${links}"
  PRE_EXCLUDE_REGEXES "^api-ms-" "^ext-ms-"
  RESOLVED_DEPENDENCIES_VAR resolved
  UNRESOLVED_DEPENDENCIES_VAR system_dlls)
foreach(dll ${resolved})
  file(REAL_PATH "${dll}" original)
  file(INSTALL "${original}" DESTINATION "${CMAKE_INSTALL_PREFIX}")
  # Debian's mingw runtime DLLs carry their debugging sections: libstdc++ is ten times its size.
  get_filename_component(name "${original}" NAME)
  execute_process(COMMAND "${KELVRA_STRIP}" --strip-debug "${CMAKE_INSTALL_PREFIX}/${name}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
