# Empty compiler generated dependencies file for host_test.
# This may be replaced when dependencies are built.
