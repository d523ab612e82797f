file(REMOVE_RECURSE
  "CMakeFiles/tamberlo_host.dir/src/Host/Framing.cpp.o"
  "CMakeFiles/tamberlo_host.dir/src/Host/Framing.cpp.o.d"
  "CMakeFiles/tamberlo_host.dir/src/Host/NativeHost.cpp.o"
  "CMakeFiles/tamberlo_host.dir/src/Host/NativeHost.cpp.o.d"
  "libtamberlo_host.a"
  "libtamberlo_host.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/tamberlo_host.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
