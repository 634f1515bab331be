# Empty dependencies file for conv-check.
# This may be replaced when dependencies are built.
