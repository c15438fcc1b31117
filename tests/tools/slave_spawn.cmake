# The support for starting slave and host processes (slave_spawn.h) that the tests and the
# benchmarks share; on Windows it builds their command lines with the slave's own child-process
# code.
tolvane_add_library(tolvane_slave_spawn ${CMAKE_CURRENT_LIST_DIR}/slave_spawn_${TOLVANE_PLATFORM}.cpp)
target_link_libraries(tolvane_slave_spawn PUBLIC tolvane_link)
if(WIN32)
  target_link_libraries(tolvane_slave_spawn PRIVATE tolvane_slavelib)
endif()
