# The full path host -> plug-in -> slave (pass-through) -> host per block, against the bare
# primitive ping-pong with the same copies, measured in the same run. A hand-timed executable;
# never a CTest test. bench/RESULTS.md says how to run it.
# Allocations are counted by the tests' counter (tests/support/allocation_counter.h). On Linux it
# takes every malloc, calloc and realloc of the process, the plug-in's included (the program exports
# them); a sanitized build counts operator new instead. A Windows plug-in keeps its own allocator.
add_executable(bridge_roundtrip
  ${CMAKE_CURRENT_LIST_DIR}/bridge_roundtrip.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link_bare_${TOLVANE_PLATFORM}.cpp
)
tolvane_target_defaults(bridge_roundtrip)
if(TARGET tolvane_malloc_counter)
  set(bench_allocation_counter tolvane_malloc_counter)
else()
  set(bench_allocation_counter tolvane_allocation_counter)
endif()
target_link_libraries(bridge_roundtrip PRIVATE tolvane_hosting tolvane_settings tolvane_child_program
  ${bench_allocation_counter})
set_target_properties(bridge_roundtrip PROPERTIES ENABLE_EXPORTS ON)
target_compile_definitions(bridge_roundtrip PRIVATE
  TOLVANE_EFFECT="$<TARGET_FILE:Tolvane>" TOLVANE_SLAVE_EXE="$<TARGET_FILE:tolvane-slave>"
  TOLVANE_PLUGIN_ALLOCATIONS_COUNTED=$<IF:$<BOOL:${WIN32}>,false,true>)
add_dependencies(bridge_roundtrip Tolvane tolvane-slave link_roundtrip)
