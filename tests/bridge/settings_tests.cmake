# The settings store: its contract on every platform, and the platform's own store.
tolvane_add_gtest(test_bridge_settings
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/test_settings.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_settings_${TOLVANE_PLATFORM}.cpp
  LIBS tolvane_settings
)
