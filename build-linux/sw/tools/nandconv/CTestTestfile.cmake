# CMake generated Testfile for 
# Source directory: /work/main/sw/tools/nandconv
# Build directory: /work/main/build-linux/sw/tools/nandconv
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
