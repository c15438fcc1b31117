# tolvane-slave as a Wine library program (Debian's wine64-tools): an ordinary 64-bit Linux
# process that serves the POSIX link (shared memory, futex events) and loads 64-bit Windows
# plug-in DLLs through Wine. Only the link, the plug-in hosting and the slave are built.
set(CMAKE_C_COMPILER winegcc)
set(CMAKE_CXX_COMPILER wineg++)
# wineg++ defines _WIN32 and makes __cdecl the Windows x64 convention (ms_abi), which is what
# the plug-in's function pointers need; NOMINMAX keeps <windows.h> from breaking <algorithm>.
set(CMAKE_C_FLAGS_INIT "-DNOMINMAX")
set(CMAKE_CXX_FLAGS_INIT "-DNOMINMAX")
set(TOLVANE_WINE_SLAVE ON CACHE BOOL "Build only tolvane-slave, as a Wine library program" FORCE)
