# CSlaveShMem and the platform objects of the link over the real named objects, driven from a
# second process: test_channel_peer is started by the tests from their own folder.
add_executable(test_channel_peer ${CMAKE_CURRENT_LIST_DIR}/test_channel_peer.cpp)
tolvane_target_defaults(test_channel_peer)
target_link_libraries(test_channel_peer PRIVATE tolvane_link)

tolvane_add_gtest(link_channel_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/test_channel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_stale_peers.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_platform_${TOLVANE_PLATFORM}.cpp
  LIBS tolvane_link tolvane_child_program
)
add_dependencies(link_channel_tests test_channel_peer)
