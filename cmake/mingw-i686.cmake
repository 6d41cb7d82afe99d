# Cross build for 32-bit Windows: the device component may be a 32-bit
# in-process server, which only a 32-bit process can load.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
