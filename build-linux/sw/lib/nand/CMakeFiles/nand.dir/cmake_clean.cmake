file(REMOVE_RECURSE
  "CMakeFiles/nand.dir/bch.cpp.o"
  "CMakeFiles/nand.dir/bch.cpp.o.d"
  "CMakeFiles/nand.dir/check.cpp.o"
  "CMakeFiles/nand.dir/check.cpp.o.d"
  "CMakeFiles/nand.dir/ecc.cpp.o"
  "CMakeFiles/nand.dir/ecc.cpp.o.d"
  "CMakeFiles/nand.dir/ecc_avx2.cpp.o"
  "CMakeFiles/nand.dir/ecc_avx2.cpp.o.d"
  "CMakeFiles/nand.dir/ecc_decode.cpp.o"
  "CMakeFiles/nand.dir/ecc_decode.cpp.o.d"
  "CMakeFiles/nand.dir/ecc_reference.cpp.o"
  "CMakeFiles/nand.dir/ecc_reference.cpp.o.d"
  "CMakeFiles/nand.dir/hamming.cpp.o"
  "CMakeFiles/nand.dir/hamming.cpp.o.d"
  "CMakeFiles/nand.dir/inject.cpp.o"
  "CMakeFiles/nand.dir/inject.cpp.o.d"
  "CMakeFiles/nand.dir/io.cpp.o"
  "CMakeFiles/nand.dir/io.cpp.o.d"
  "CMakeFiles/nand.dir/layout.cpp.o"
  "CMakeFiles/nand.dir/layout.cpp.o.d"
  "CMakeFiles/nand.dir/record.cpp.o"
  "CMakeFiles/nand.dir/record.cpp.o.d"
  "libnand.a"
  "libnand.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/nand.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
