# CMake generated Testfile for 
# Source directory: /work/main
# Build directory: /work/main/build-linux
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
add_test([=[linux_nand]=] "bash" "/work/main/tests/linux/run.sh" "/work/main/build-linux/bin/nandconv")
set_tests_properties([=[linux_nand]=] PROPERTIES  LABELS "linux" TIMEOUT "1500" _BACKTRACE_TRIPLES "/work/main/CMakeLists.txt;39;add_test;/work/main/CMakeLists.txt;0;")
subdirs("sw/testing")
subdirs("sw/lib/nand")
subdirs("sw/tools/conv")
subdirs("sw/tools/nandconv")
