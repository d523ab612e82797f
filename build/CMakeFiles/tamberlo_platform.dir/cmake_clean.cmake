file(REMOVE_RECURSE
  "CMakeFiles/tamberlo_platform.dir/src/Platform/Base64.cpp.o"
  "CMakeFiles/tamberlo_platform.dir/src/Platform/Base64.cpp.o.d"
  "CMakeFiles/tamberlo_platform.dir/src/Platform/Error.cpp.o"
  "CMakeFiles/tamberlo_platform.dir/src/Platform/Error.cpp.o.d"
  "CMakeFiles/tamberlo_platform.dir/src/Platform/GioDesktop.cpp.o"
  "CMakeFiles/tamberlo_platform.dir/src/Platform/GioDesktop.cpp.o.d"
  "CMakeFiles/tamberlo_platform.dir/src/Platform/Logger.cpp.o"
  "CMakeFiles/tamberlo_platform.dir/src/Platform/Logger.cpp.o.d"
  "CMakeFiles/tamberlo_platform.dir/src/Platform/PosixFileSystem.cpp.o"
  "CMakeFiles/tamberlo_platform.dir/src/Platform/PosixFileSystem.cpp.o.d"
  "CMakeFiles/tamberlo_platform.dir/src/Platform/Utf8.cpp.o"
  "CMakeFiles/tamberlo_platform.dir/src/Platform/Utf8.cpp.o.d"
  "libtamberlo_platform.a"
  "libtamberlo_platform.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/tamberlo_platform.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
