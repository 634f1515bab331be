# Empty compiler generated dependencies file for nandconv.
# This may be replaced when dependencies are built.
