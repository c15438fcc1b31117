# Shared build settings and the helpers every folder uses.
include_guard(GLOBAL)

set(TOLVANE_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

if(WIN32)
  set(TOLVANE_PLATFORM win32)
else()
  set(TOLVANE_PLATFORM posix)
endif()
# Plug-in modules are loaded the way the platform loads them, except in the Wine-library slave
# (cmake/winegcc.cmake): a Linux process on the POSIX link that loads Windows DLLs.
if(TOLVANE_WINE_SLAVE)
  set(TOLVANE_MODULE_PLATFORM win32)
else()
  set(TOLVANE_MODULE_PLATFORM ${TOLVANE_PLATFORM})
endif()

# Warnings, sanitizers and the include roots (the tree and the generated headers) for one of our
# targets.
function(tolvane_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(TOLVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  target_include_directories(${target} PUBLIC ${TOLVANE_ROOT} ${TOLVANE_GENERATED_INCLUDE})
endfunction()

if(TOLVANE_SANITIZE AND NOT WIN32)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(TOLVANE_TSAN AND NOT WIN32)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(WIN32)
  # Everything links statically, so the DLLs and EXEs import nothing but system DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

# A static library of one layer.
function(tolvane_add_library name)
  add_library(${name} STATIC ${ARGN})
  tolvane_target_defaults(${name})
endfunction()

# A VST 2.4 plug-in module: the frame's entry point compiled in, only VSTPluginMain and main
# exported, every symbol resolved at link time.
function(tolvane_add_plugin name)
  cmake_parse_arguments(P "" "OUTPUT_NAME" "SOURCES;LIBS;RESOURCES" ${ARGN})
  if(tolvane_bridge IN_LIST P_LIBS)
    # The bridge leaves runConfigDialog to the module (bridge/CMakeLists.txt).
    get_target_property(dialogs tolvane_bridge TOLVANE_DIALOG_IMPLEMENTATIONS)
    set(chosen)
    foreach(lib IN LISTS P_LIBS)
      if(lib IN_LIST dialogs)
        list(APPEND chosen ${lib})
      endif()
    endforeach()
    list(LENGTH chosen count)
    if(NOT count EQUAL 1)
      message(FATAL_ERROR "${name} links tolvane_bridge and needs exactly one of its dialog "
                          "implementations (${dialogs}) in LIBS, found: ${chosen}")
    endif()
  endif()
  add_library(${name} MODULE ${P_SOURCES} ${TOLVANE_ROOT}/frame/entry.cpp
              ${TOLVANE_ROOT}/frame/${TOLVANE_PLATFORM}/module_entry.cpp ${P_RESOURCES})
  tolvane_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${P_LIBS} tolvane_frame)
  set_target_properties(${name} PROPERTIES PREFIX "")
  if(P_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${P_OUTPUT_NAME})
  endif()
  if(WIN32)
    set_target_properties(${name} PROPERTIES SUFFIX ".dll")
    target_sources(${name} PRIVATE ${TOLVANE_ROOT}/frame/win32/exports.def)
  else()
    set_target_properties(${name} PROPERTIES SUFFIX ".so"
      LINK_DEPENDS ${TOLVANE_ROOT}/frame/posix/exports.map)
    target_link_options(${name} PRIVATE -Wl,-z,defs
      -Wl,--version-script=${TOLVANE_ROOT}/frame/posix/exports.map)
  endif()
endfunction()

# A GoogleTest executable registered with CTest. On Linux every test case is its own CTest
# entry; the Windows binaries run whole under Wine (the cross-compiling emulator), since each
# Wine process start costs far more than a test case.
function(tolvane_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT;RESOURCE_LOCK" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  tolvane_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(properties TIMEOUT ${T_TIMEOUT})
  if(T_RESOURCE_LOCK)
    list(APPEND properties RESOURCE_LOCK ${T_RESOURCE_LOCK})
  endif()
  if(T_ENVIRONMENT)
    list(APPEND properties ENVIRONMENT "${T_ENVIRONMENT}")
  endif()
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ${properties})
  else()
    include(GoogleTest)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
  endif()
endfunction()
