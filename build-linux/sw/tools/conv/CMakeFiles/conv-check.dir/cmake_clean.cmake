file(REMOVE_RECURSE
  "../../../bin/conv-check"
  "../../../bin/conv-check.pdb"
  "CMakeFiles/conv-check.dir/conv_check.cpp.o"
  "CMakeFiles/conv-check.dir/conv_check.cpp.o.d"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/conv-check.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
