# Test-only cross build for 64-bit Windows (build/win64): the same sources as
# the shipped 32-bit programs, for test hosts that cannot run 32-bit code.
# Never delivered.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
