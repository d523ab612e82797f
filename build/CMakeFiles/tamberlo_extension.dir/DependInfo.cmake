
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/src/Extension/DownloadsFile.cpp" "CMakeFiles/tamberlo_extension.dir/src/Extension/DownloadsFile.cpp.o" "gcc" "CMakeFiles/tamberlo_extension.dir/src/Extension/DownloadsFile.cpp.o.d"
  "/work/main/src/Extension/Lookup.cpp" "CMakeFiles/tamberlo_extension.dir/src/Extension/Lookup.cpp.o" "gcc" "CMakeFiles/tamberlo_extension.dir/src/Extension/Lookup.cpp.o.d"
  "/work/main/src/Extension/NameText.cpp" "CMakeFiles/tamberlo_extension.dir/src/Extension/NameText.cpp.o" "gcc" "CMakeFiles/tamberlo_extension.dir/src/Extension/NameText.cpp.o.d"
  "/work/main/src/Extension/OpenReveal.cpp" "CMakeFiles/tamberlo_extension.dir/src/Extension/OpenReveal.cpp.o" "gcc" "CMakeFiles/tamberlo_extension.dir/src/Extension/OpenReveal.cpp.o.d"
  "/work/main/src/Extension/SafariWebExtensionHandler.cpp" "CMakeFiles/tamberlo_extension.dir/src/Extension/SafariWebExtensionHandler.cpp.o" "gcc" "CMakeFiles/tamberlo_extension.dir/src/Extension/SafariWebExtensionHandler.cpp.o.d"
  "/work/main/src/Extension/Transfer.cpp" "CMakeFiles/tamberlo_extension.dir/src/Extension/Transfer.cpp.o" "gcc" "CMakeFiles/tamberlo_extension.dir/src/Extension/Transfer.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/main/build/CMakeFiles/tamberlo_platform.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
