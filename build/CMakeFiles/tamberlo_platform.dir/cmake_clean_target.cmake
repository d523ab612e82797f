file(REMOVE_RECURSE
  "libtamberlo_platform.a"
)
