file(REMOVE_RECURSE
  "CMakeFiles/tamberlo-host.dir/src/Host/main.cpp.o"
  "CMakeFiles/tamberlo-host.dir/src/Host/main.cpp.o.d"
  "tamberlo-host"
  "tamberlo-host.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/tamberlo-host.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
