# CSlaveShMem and the platform objects of the link over the real named objects, driven from a
# second process: link_channel_peer is started by the tests from their own folder.
add_executable(link_channel_peer ${CMAKE_CURRENT_LIST_DIR}/link_channel_peer.cpp)
tolvane_target_defaults(link_channel_peer)
target_link_libraries(link_channel_peer PRIVATE tolvane_link)

tolvane_add_gtest(test_link_channel
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/test_channel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_stale_peers.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_platform_${TOLVANE_PLATFORM}.cpp
  LIBS tolvane_link tolvane_child_program
)
add_dependencies(test_link_channel link_channel_peer)
