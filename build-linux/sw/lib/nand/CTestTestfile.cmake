# CMake generated Testfile for 
# Source directory: /work/main/sw/lib/nand
# Build directory: /work/main/build-linux/sw/lib/nand
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
