# The per-user settings store: the registry on Windows, a text file elsewhere.
tolvane_add_library(tolvane_settings
  ${CMAKE_CURRENT_LIST_DIR}/${TOLVANE_PLATFORM}/settings_${TOLVANE_PLATFORM}.cpp
)
if(WIN32)
  target_link_libraries(tolvane_settings PUBLIC advapi32)
endif()
