file(REMOVE_RECURSE
  "CMakeFiles/downloads_file_test.dir/DownloadsFileTest.cpp.o"
  "CMakeFiles/downloads_file_test.dir/DownloadsFileTest.cpp.o.d"
  "CMakeFiles/downloads_file_test.dir/support/TestSupport.cpp.o"
  "CMakeFiles/downloads_file_test.dir/support/TestSupport.cpp.o.d"
  "downloads_file_test"
  "downloads_file_test.pdb"
  "downloads_file_test[1]_tests.cmake"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/downloads_file_test.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
