# The sources of the list update and of the platform layer under it, one
# platform source for each kind of system; the program and the fuzz target
# both build from this list.
set(soundlistsources ${CMAKE_CURRENT_LIST_DIR}/soundlist.cpp)
if(WIN32)
  list(APPEND soundlistsources ${CMAKE_CURRENT_LIST_DIR}/systemwin.cpp)
else()
  list(APPEND soundlistsources ${CMAKE_CURRENT_LIST_DIR}/systemposix.cpp)
endif()
