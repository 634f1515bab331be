# Empty dependencies file for nand.
# This may be replaced when dependencies are built.
