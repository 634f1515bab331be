file(REMOVE_RECURSE
  "libnand.a"
)
