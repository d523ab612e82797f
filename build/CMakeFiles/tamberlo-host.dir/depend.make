# Empty dependencies file for tamberlo-host.
# This may be replaced when dependencies are built.
