# The shared block (layout, reset, channel addressing, event records) and CSlaveMem over a
# block in ordinary memory; no operating-system objects are involved.
tolvane_add_gtest(test_link_block
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/test_block.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_block_events.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_slave_mem.cpp
  LIBS tolvane_link
)
