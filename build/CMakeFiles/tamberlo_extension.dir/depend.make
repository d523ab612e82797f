# Empty dependencies file for tamberlo_extension.
# This may be replaced when dependencies are built.
