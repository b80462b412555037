# Copies SOURCE to TARGET unless TARGET exists (a user's own web.txt is never overwritten).
if(NOT EXISTS "${TARGET}")
  configure_file("${SOURCE}" "${TARGET}" COPYONLY)
endif()
