# Empty dependencies file for tamberlo_platform.
# This may be replaced when dependencies are built.
