# Which source file belongs to which layer, stated once. Each layer is a
# folder of src/ and includes only the layers after it in this list:
#   app      the run: sequence, folder list, entry and tree rewrite, run log
#   walk     the walk of one configured folder and the order of its results
#   winsec   the Windows security model, portable, no platform code
#   posixacl the POSIX backend    | win32  the Windows backend
# A file named Name_POSIX.cpp or Name_WIN32.cpp is one platform's half of an
# interface declared beside it and is built only there. The entry points
# belong to the program, not to the library.
#
# Script mode prints a platform's sources of some layers, one a line, for the
# builds outside CMake:
#   cmake -DPLATFORM=WIN32 -DLAYERS="winsec;win32" -P cmake/Layers.cmake
get_filename_component(TOLVANE_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

function(tolvane_layers platform out)
  if(platform STREQUAL "WIN32")
    set(${out} app walk winsec win32 PARENT_SCOPE)
  else()
    set(${out} app walk winsec posixacl PARENT_SCOPE)
  endif()
endfunction()

# The library sources of `layers` for `platform` (POSIX or WIN32).
function(tolvane_layer_sources platform layers out)
  set(sources)
  foreach(layer IN LISTS layers)
    if(CMAKE_SCRIPT_MODE_FILE)
      file(GLOB layer_sources ${TOLVANE_SOURCE_ROOT}/src/${layer}/*.cpp)
    else()
      file(GLOB layer_sources CONFIGURE_DEPENDS ${TOLVANE_SOURCE_ROOT}/src/${layer}/*.cpp)
    endif()
    list(SORT layer_sources)
    foreach(source IN LISTS layer_sources)
      get_filename_component(name ${source} NAME_WE)
      if(name MATCHES "^EntryPoint")
        continue()
      endif()
      if(name MATCHES "_(POSIX|WIN32)$" AND NOT name MATCHES "_${platform}$")
        continue()
      endif()
      list(APPEND sources ${source})
    endforeach()
  endforeach()
  set(${out} ${sources} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND NOT CMAKE_PARENT_LIST_FILE)
  if(NOT DEFINED LAYERS)
    tolvane_layers("${PLATFORM}" LAYERS)
  endif()
  tolvane_layer_sources("${PLATFORM}" "${LAYERS}" listed)
  foreach(source IN LISTS listed)
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${source}")
  endforeach()
endif()
