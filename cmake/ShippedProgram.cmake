# The form of every program the cross build links: what the end-to-end
# tests and the demo run is byte for byte what a technician receives.
#
# Built for size with unused sections dropped; built twice from the same
# sources in other folders at other times, it gives the same bytes (no time
# stamp in the PE header, build folders mapped away in the debug
# information, which the debug link's checksum covers).
add_compile_options(-Os -g -ffunction-sections -fdata-sections
                    -ffile-prefix-map=${CMAKE_SOURCE_DIR}=/src
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}=/build)
add_link_options(-Wl,--gc-sections -Wl,--no-insert-timestamp)

if(NOT CMAKE_OBJCOPY)
  message(FATAL_ERROR "no objcopy for the cross build: the debug information cannot be split off")
endif()
set(SHIPPED_SYMBOLS_DIR ${CMAKE_BINARY_DIR}/symbols)

# A program as it is delivered: the quiet handler for an uncaught
# exception (common/QuietTerminate.cpp), and its debug information moved into
# symbols/<file>.debug; the program keeps only a link to that file (its name
# and checksum), so an address from a field report can still be resolved.
function(shipped_program target)
  target_link_libraries(${target} PRIVATE quiet_terminate)
  # objcopy stamps what it writes with the time, unless told a fixed one.
  set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
  set(debug ${SHIPPED_SYMBOLS_DIR}/$<TARGET_FILE_NAME:${target}>.debug)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${SHIPPED_SYMBOLS_DIR}
    COMMAND ${objcopy} --only-keep-debug $<TARGET_FILE:${target}> ${debug}
    COMMAND ${objcopy} --strip-all --add-gnu-debuglink=${debug} $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

# The 64-bit test build (cmake/mingw-x86_64.cmake) carries a copy of the
# manifest that names its processor as amd64, found by the resource script
# as <name>.amd64.manifest; the shipped 32-bit programs keep x86.
function(twin_manifest rc_source manifest)
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
    return()
  endif()
  get_filename_component(stem ${manifest} NAME_WE)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/manifest64)
  file(READ ${manifest} text)
  string(REPLACE "processorArchitecture=\"x86\"" "processorArchitecture=\"amd64\"" text "${text}")
  file(CONFIGURE OUTPUT ${dir}/${stem}.amd64.manifest CONTENT "${text}" @ONLY)
  set_property(SOURCE ${rc_source} APPEND PROPERTY INCLUDE_DIRECTORIES ${dir})
  set_property(SOURCE ${rc_source} APPEND PROPERTY OBJECT_DEPENDS ${dir}/${stem}.amd64.manifest)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${manifest})
endfunction()
