# Tests of the command-line host: fixture plug-ins written straight against the VST 2.4 records,
# the host library's tests, and runs of the tolvane-host executable against the fixtures.

# A fixture plug-in module; extra arguments are its compile definitions.
function(tolvane_host_fixture name source)
  add_library(${name} MODULE ${source})
  tolvane_target_defaults(${name})
  set_target_properties(${name} PROPERTIES PREFIX "")
  if(WIN32)
    set_target_properties(${name} PROPERTIES SUFFIX ".dll")
  else()
    set_target_properties(${name} PROPERTIES SUFFIX ".so")
  endif()
  target_compile_definitions(${name} PRIVATE ${ARGN})
endfunction()

tolvane_host_fixture(host_fixture fixture_plugin.cpp)
tolvane_host_fixture(host_fixture_main_only fixture_plugin.cpp FIXTURE_MAIN_ONLY=1)
tolvane_host_fixture(host_fixture_null fixture_plugin_bad.cpp FIXTURE_BAD_KIND=1 FIXTURE_ENTRY_NAME="VSTPluginMain")
tolvane_host_fixture(host_fixture_magic fixture_plugin_bad.cpp FIXTURE_BAD_KIND=2 FIXTURE_ENTRY_NAME="VSTPluginMain")
tolvane_host_fixture(host_fixture_no_entry fixture_plugin_bad.cpp FIXTURE_BAD_KIND=3 FIXTURE_ENTRY_NAME="unrelatedEntry")
tolvane_host_fixture(host_fixture_counts fixture_plugin_bad.cpp FIXTURE_BAD_KIND=4 FIXTURE_ENTRY_NAME="VSTPluginMain")
tolvane_host_fixture(host_fixture_no_dispatcher fixture_plugin_bad.cpp FIXTURE_BAD_KIND=5 FIXTURE_ENTRY_NAME="VSTPluginMain")

set(host_test_sources host_options_tests.cpp host_plugin_tests.cpp host_session_tests.cpp host_signal_tests.cpp
  host_cli_tests.cpp host_allocation_tests.cpp)
if(NOT WIN32)
  list(APPEND host_test_sources host_sound_file_tests.cpp)
endif()
# host_cli_tests runs tolvane-host as a child process through the tests' spawn support.
tolvane_add_gtest(host_tests SOURCES ${host_test_sources} LIBS tolvane_host_tool tolvane_link tolvane_slave_spawn)
set(host_fixtures host_fixture host_fixture_main_only host_fixture_null host_fixture_magic host_fixture_no_entry
    host_fixture_counts host_fixture_no_dispatcher)
add_dependencies(host_tests ${host_fixtures} tolvane-host)
target_compile_definitions(host_tests PRIVATE
  TOLVANE_HOST_EXE="$<TARGET_FILE:tolvane-host>"
  TOLVANE_HOST_FIXTURE="$<TARGET_FILE:host_fixture>"
  TOLVANE_HOST_FIXTURE_MAIN_ONLY="$<TARGET_FILE:host_fixture_main_only>"
  TOLVANE_HOST_FIXTURE_NULL="$<TARGET_FILE:host_fixture_null>"
  TOLVANE_HOST_FIXTURE_MAGIC="$<TARGET_FILE:host_fixture_magic>"
  TOLVANE_HOST_FIXTURE_NO_ENTRY="$<TARGET_FILE:host_fixture_no_entry>"
  TOLVANE_HOST_FIXTURE_COUNTS="$<TARGET_FILE:host_fixture_counts>"
  TOLVANE_HOST_FIXTURE_NO_DISPATCHER="$<TARGET_FILE:host_fixture_no_dispatcher>"
  TOLVANE_HOST_TEST_DIR="${CMAKE_CURRENT_BINARY_DIR}")
