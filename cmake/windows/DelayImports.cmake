# IPHLPAPI, delay-loaded. POCO Foundation's Environment::nodeId calls
# GetAdaptersInfo, which Tolvane never does; its package links iphlpapi for
# it. IPHLPAPI is not one of the system's KnownDLLs, so as a normal import
# Windows would load it at start, looking in the program's folder first.
# Linked through a delay-import library instead, it is loaded at the first
# call only. __delayLoadHelper2 comes from MinGW's libmingwex.

set(TOLVANE_WINDOWS_DIR ${CMAKE_CURRENT_LIST_DIR})

# The library is made in the build folder under a relative name: dlltool
# names its symbols after the output path.
set(TOLVANE_IPHLPAPI_DELAYLIB libiphlpapi-delay.a)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${TOLVANE_IPHLPAPI_DELAYLIB}
  COMMAND ${CMAKE_DLLTOOL} --input-def ${TOLVANE_WINDOWS_DIR}/iphlpapi.def
    --output-delaylib ${TOLVANE_IPHLPAPI_DELAYLIB}
  DEPENDS ${TOLVANE_WINDOWS_DIR}/iphlpapi.def
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  VERBATIM)
add_custom_target(iphlpapi_delaylib DEPENDS ${CMAKE_BINARY_DIR}/${TOLVANE_IPHLPAPI_DELAYLIB})
add_library(iphlpapi_delayed STATIC IMPORTED)
set_target_properties(iphlpapi_delayed PROPERTIES
  IMPORTED_LOCATION ${CMAKE_BINARY_DIR}/${TOLVANE_IPHLPAPI_DELAYLIB})
add_dependencies(iphlpapi_delayed iphlpapi_delaylib)

# In place of iphlpapi among POCO Foundation's libraries, so that
# GetAdaptersInfo resolves to the delay-load thunk.
get_target_property(TOLVANE_POCO_LINKS Poco::Foundation INTERFACE_LINK_LIBRARIES)
list(TRANSFORM TOLVANE_POCO_LINKS REPLACE "^iphlpapi$" iphlpapi_delayed)
set_target_properties(Poco::Foundation PROPERTIES INTERFACE_LINK_LIBRARIES "${TOLVANE_POCO_LINKS}")

# The zero descriptor that ends the table, and the header entry that points
# at it.
function(tolvane_delay_imports target)
  target_sources(${target} PRIVATE ${TOLVANE_WINDOWS_DIR}/delay-import-end.cpp)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND bash ${TOLVANE_WINDOWS_DIR}/fill-delay-import-directory.sh
      $<TARGET_FILE:${target}> ${CMAKE_NM} ${CMAKE_OBJDUMP}
    VERBATIM)
endfunction()
