
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/sw/lib/nand/bch.cpp" "sw/lib/nand/CMakeFiles/nand.dir/bch.cpp.o" "gcc" "sw/lib/nand/CMakeFiles/nand.dir/bch.cpp.o.d"
  "/work/main/sw/lib/nand/check.cpp" "sw/lib/nand/CMakeFiles/nand.dir/check.cpp.o" "gcc" "sw/lib/nand/CMakeFiles/nand.dir/check.cpp.o.d"
  "/work/main/sw/lib/nand/ecc.cpp" "sw/lib/nand/CMakeFiles/nand.dir/ecc.cpp.o" "gcc" "sw/lib/nand/CMakeFiles/nand.dir/ecc.cpp.o.d"
  "/work/main/sw/lib/nand/ecc_avx2.cpp" "sw/lib/nand/CMakeFiles/nand.dir/ecc_avx2.cpp.o" "gcc" "sw/lib/nand/CMakeFiles/nand.dir/ecc_avx2.cpp.o.d"
  "/work/main/sw/lib/nand/ecc_decode.cpp" "sw/lib/nand/CMakeFiles/nand.dir/ecc_decode.cpp.o" "gcc" "sw/lib/nand/CMakeFiles/nand.dir/ecc_decode.cpp.o.d"
  "/work/main/sw/lib/nand/ecc_reference.cpp" "sw/lib/nand/CMakeFiles/nand.dir/ecc_reference.cpp.o" "gcc" "sw/lib/nand/CMakeFiles/nand.dir/ecc_reference.cpp.o.d"
  "/work/main/sw/lib/nand/hamming.cpp" "sw/lib/nand/CMakeFiles/nand.dir/hamming.cpp.o" "gcc" "sw/lib/nand/CMakeFiles/nand.dir/hamming.cpp.o.d"
  "/work/main/sw/lib/nand/inject.cpp" "sw/lib/nand/CMakeFiles/nand.dir/inject.cpp.o" "gcc" "sw/lib/nand/CMakeFiles/nand.dir/inject.cpp.o.d"
  "/work/main/sw/lib/nand/io.cpp" "sw/lib/nand/CMakeFiles/nand.dir/io.cpp.o" "gcc" "sw/lib/nand/CMakeFiles/nand.dir/io.cpp.o.d"
  "/work/main/sw/lib/nand/layout.cpp" "sw/lib/nand/CMakeFiles/nand.dir/layout.cpp.o" "gcc" "sw/lib/nand/CMakeFiles/nand.dir/layout.cpp.o.d"
  "/work/main/sw/lib/nand/record.cpp" "sw/lib/nand/CMakeFiles/nand.dir/record.cpp.o" "gcc" "sw/lib/nand/CMakeFiles/nand.dir/record.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
