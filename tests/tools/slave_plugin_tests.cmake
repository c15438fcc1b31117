# Tests of the slave hosting a VST 2.4 plug-in: the plug-in processor over a block in memory,
# tolvane-slave with a plug-in and under --supervise as child processes, and the whole chain
# (tolvane-host, the bridge, the slave and a real plug-in). The host tests' fixture serves as
# the well-behaved plug-in; crash_plugin.cpp crashes on purpose.
tolvane_host_fixture(slave_crash_plugin crash_plugin.cpp)
if(TOLVANE_SANITIZE AND NOT WIN32)
  # Its crash is a plain invalid store, as a faulty plug-in's would be, not a sanitizer's report.
  target_compile_options(slave_crash_plugin PRIVATE -fno-sanitize=all)
endif()

tolvane_add_gtest(slave_plugin_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/slave_plugin_processor_tests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/slave_plugin_supervisor_tests.cpp
  LIBS tolvane_slavelib tolvane_slave_spawn)
add_dependencies(slave_plugin_tests tolvane-slave host_fixture host_fixture_no_entry slave_crash_plugin)
target_compile_definitions(slave_plugin_tests PRIVATE
  TOLVANE_SLAVE_EXE="$<TARGET_FILE:tolvane-slave>"
  TOLVANE_HOST_FIXTURE="$<TARGET_FILE:host_fixture>"
  TOLVANE_HOST_FIXTURE_NO_ENTRY="$<TARGET_FILE:host_fixture_no_entry>"
  TOLVANE_CRASH_PLUGIN="$<TARGET_FILE:slave_crash_plugin>"
  TOLVANE_TEST_DIR="${CMAKE_CURRENT_BINARY_DIR}")

# The chain moves bridges over the slave numbers 10, 11 and 13 of the Slave# parameter's range, which
# the end-to-end tests leave alone; the lock keeps it from running beside them all the same.
tolvane_add_gtest(slave_plugin_chain_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/slave_plugin_chain_tests.cpp
  LIBS tolvane_settings tolvane_link tolvane_slave_spawn
  TIMEOUT 600 RESOURCE_LOCK small_slave_numbers
  ENVIRONMENT XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/chain-config)
add_dependencies(slave_plugin_chain_tests tolvane-host tolvane-slave Tolvane TolvaneI slave_crash_plugin)
target_compile_definitions(slave_plugin_chain_tests PRIVATE
  TOLVANE_HOST_EXE="$<TARGET_FILE:tolvane-host>"
  TOLVANE_SLAVE_EXE="$<TARGET_FILE:tolvane-slave>"
  TOLVANE_EFFECT="$<TARGET_FILE:Tolvane>"
  TOLVANE_INSTRUMENT_PLUGIN="$<TARGET_FILE:TolvaneI>"
  TOLVANE_CRASH_PLUGIN="$<TARGET_FILE:slave_crash_plugin>"
  TOLVANE_TEST_DIR="${CMAKE_CURRENT_BINARY_DIR}")
