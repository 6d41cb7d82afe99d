# The COM client layer of the updater; included from updater/CMakeLists.txt
# and by the Wine tests.
if(TARGET component)
  return()
endif()
add_library(component STATIC ${CMAKE_CURRENT_LIST_DIR}/Component.cpp ${CMAKE_CURRENT_LIST_DIR}/ComponentThread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ComponentProxy.cpp)
target_include_directories(component PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(component PUBLIC core comsupport win32handles user32 ole32 oleaut32 advapi32 uuid)
