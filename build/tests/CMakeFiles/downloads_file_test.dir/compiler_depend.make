# Empty compiler generated dependencies file for downloads_file_test.
# This may be replaced when dependencies are built.
