# Header-only Debian libraries for the tools (never for the plug-ins). Their headers live in
# /usr/include, which must stay off the mingw-w64 include path: it would pull glibc's headers into
# the Windows build. So at configure time each library's own folder is copied into a folder of the
# build tree that holds nothing else, and both builds include from there.
include_guard(GLOBAL)

set(TOLVANE_TOOL_HEADERS ${CMAKE_BINARY_DIR}/tool-headers)

# tolvane_header_library(TARGET FOLDER PACKAGE): an INTERFACE target for the library whose headers
# are /usr/include/FOLDER (included as <FOLDER/...>); PACKAGE is the Debian package that has them.
function(tolvane_header_library target folder package)
  if(NOT IS_DIRECTORY /usr/include/${folder})
    message(FATAL_ERROR "/usr/include/${folder} not found: install ${package} (scripts/install-deps.sh)")
  endif()
  file(COPY /usr/include/${folder} DESTINATION ${TOLVANE_TOOL_HEADERS})
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${TOLVANE_TOOL_HEADERS})
endfunction()

tolvane_header_library(tolvane_nlohmann_json nlohmann nlohmann-json3-dev)
