// nandconv detect: finds an unknown dump's layout and prints it as a layout
// file (detect_command.cpp).
#pragma once

// Runs `nandconv detect` with its own arguments (argv[0] is "detect");
// returns the exit status.
int runDetect(int argc, char **argv);
