
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/tests/PlatformTest.cpp" "tests/CMakeFiles/platform_test.dir/PlatformTest.cpp.o" "gcc" "tests/CMakeFiles/platform_test.dir/PlatformTest.cpp.o.d"
  "/work/main/tests/support/TestSupport.cpp" "tests/CMakeFiles/platform_test.dir/support/TestSupport.cpp.o" "gcc" "tests/CMakeFiles/platform_test.dir/support/TestSupport.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/main/build/CMakeFiles/tamberlo_host.dir/DependInfo.cmake"
  "/work/main/build/CMakeFiles/tamberlo_extension.dir/DependInfo.cmake"
  "/work/main/build/CMakeFiles/tamberlo_platform.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
