file(REMOVE_RECURSE
  "../../../bin/conv"
  "../../../bin/conv.pdb"
  "CMakeFiles/conv.dir/conv.cpp.o"
  "CMakeFiles/conv.dir/conv.cpp.o.d"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/conv.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
