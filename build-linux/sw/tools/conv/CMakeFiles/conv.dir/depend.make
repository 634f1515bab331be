# Empty dependencies file for conv.
# This may be replaced when dependencies are built.
