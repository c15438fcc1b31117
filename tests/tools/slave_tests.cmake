# Tests of the reference slave: command handling and processors over a block in memory, the
# command line, and the tolvane-slave program driven by a master over the named objects.
tolvane_add_gtest(slave_core_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/slave_core_tests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/slave_processor_tests.cpp
  LIBS tolvane_slavelib)

tolvane_add_gtest(slave_process_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/slave_process_tests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/slave_takeover_tests.cpp
  LIBS tolvane_slavelib tolvane_slave_spawn)
if(NOT WIN32)
  # What the slave says when /dev/shm is full or another user's object is under its names.
  target_sources(slave_process_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/slave_refusal_tests_posix.cpp)
endif()
target_compile_definitions(slave_process_tests PRIVATE TOLVANE_SLAVE_EXE="$<TARGET_FILE:tolvane-slave>")
add_dependencies(slave_process_tests tolvane-slave)
