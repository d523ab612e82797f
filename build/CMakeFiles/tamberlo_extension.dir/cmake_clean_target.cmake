file(REMOVE_RECURSE
  "libtamberlo_extension.a"
)
