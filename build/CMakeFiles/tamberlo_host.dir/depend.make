# Empty dependencies file for tamberlo_host.
# This may be replaced when dependencies are built.
