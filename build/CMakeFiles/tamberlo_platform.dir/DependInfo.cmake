
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/src/Platform/Base64.cpp" "CMakeFiles/tamberlo_platform.dir/src/Platform/Base64.cpp.o" "gcc" "CMakeFiles/tamberlo_platform.dir/src/Platform/Base64.cpp.o.d"
  "/work/main/src/Platform/Error.cpp" "CMakeFiles/tamberlo_platform.dir/src/Platform/Error.cpp.o" "gcc" "CMakeFiles/tamberlo_platform.dir/src/Platform/Error.cpp.o.d"
  "/work/main/src/Platform/GioDesktop.cpp" "CMakeFiles/tamberlo_platform.dir/src/Platform/GioDesktop.cpp.o" "gcc" "CMakeFiles/tamberlo_platform.dir/src/Platform/GioDesktop.cpp.o.d"
  "/work/main/src/Platform/Logger.cpp" "CMakeFiles/tamberlo_platform.dir/src/Platform/Logger.cpp.o" "gcc" "CMakeFiles/tamberlo_platform.dir/src/Platform/Logger.cpp.o.d"
  "/work/main/src/Platform/PosixFileSystem.cpp" "CMakeFiles/tamberlo_platform.dir/src/Platform/PosixFileSystem.cpp.o" "gcc" "CMakeFiles/tamberlo_platform.dir/src/Platform/PosixFileSystem.cpp.o.d"
  "/work/main/src/Platform/Utf8.cpp" "CMakeFiles/tamberlo_platform.dir/src/Platform/Utf8.cpp.o" "gcc" "CMakeFiles/tamberlo_platform.dir/src/Platform/Utf8.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
