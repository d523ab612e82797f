file(REMOVE_RECURSE
  "CMakeFiles/platform_test.dir/PlatformTest.cpp.o"
  "CMakeFiles/platform_test.dir/PlatformTest.cpp.o.d"
  "CMakeFiles/platform_test.dir/support/TestSupport.cpp.o"
  "CMakeFiles/platform_test.dir/support/TestSupport.cpp.o.d"
  "platform_test"
  "platform_test.pdb"
  "platform_test[1]_tests.cmake"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/platform_test.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
