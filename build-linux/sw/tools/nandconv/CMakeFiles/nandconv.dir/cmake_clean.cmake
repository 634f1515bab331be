file(REMOVE_RECURSE
  "../../../bin/nandconv"
  "../../../bin/nandconv.pdb"
  "CMakeFiles/nandconv.dir/nandconv.cpp.o"
  "CMakeFiles/nandconv.dir/nandconv.cpp.o.d"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/nandconv.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
