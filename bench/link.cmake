# The link's round trip between two processes, our channel against the bare primitive
# (futex words on Linux, named events on Windows). A hand-timed executable on both platforms:
# it starts its own two children, which a per-iteration benchmark loop does not suit. Never a
# CTest test; run it from a release build as bench/RESULTS.md says.
add_executable(link_roundtrip
  ${CMAKE_CURRENT_LIST_DIR}/link_roundtrip.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link_bare_${TOLVANE_PLATFORM}.cpp
)
tolvane_target_defaults(link_roundtrip)
target_link_libraries(link_roundtrip PRIVATE tolvane_link tolvane_child_program)
