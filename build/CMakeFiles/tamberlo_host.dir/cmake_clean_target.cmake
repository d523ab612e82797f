file(REMOVE_RECURSE
  "libtamberlo_host.a"
)
