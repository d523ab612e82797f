# Empty compiler generated dependencies file for dispatch_test.
# This may be replaced when dependencies are built.
