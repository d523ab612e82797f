file(REMOVE_RECURSE
  "CMakeFiles/tamberlo_extension.dir/src/Extension/DownloadsFile.cpp.o"
  "CMakeFiles/tamberlo_extension.dir/src/Extension/DownloadsFile.cpp.o.d"
  "CMakeFiles/tamberlo_extension.dir/src/Extension/Lookup.cpp.o"
  "CMakeFiles/tamberlo_extension.dir/src/Extension/Lookup.cpp.o.d"
  "CMakeFiles/tamberlo_extension.dir/src/Extension/NameText.cpp.o"
  "CMakeFiles/tamberlo_extension.dir/src/Extension/NameText.cpp.o.d"
  "CMakeFiles/tamberlo_extension.dir/src/Extension/OpenReveal.cpp.o"
  "CMakeFiles/tamberlo_extension.dir/src/Extension/OpenReveal.cpp.o.d"
  "CMakeFiles/tamberlo_extension.dir/src/Extension/SafariWebExtensionHandler.cpp.o"
  "CMakeFiles/tamberlo_extension.dir/src/Extension/SafariWebExtensionHandler.cpp.o.d"
  "CMakeFiles/tamberlo_extension.dir/src/Extension/Transfer.cpp.o"
  "CMakeFiles/tamberlo_extension.dir/src/Extension/Transfer.cpp.o.d"
  "libtamberlo_extension.a"
  "libtamberlo_extension.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/tamberlo_extension.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
