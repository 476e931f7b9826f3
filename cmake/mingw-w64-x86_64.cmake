# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix thread model,
# so std::thread and std::mutex work), run under Wine. The `windows` preset
# uses this file; tests run through cmake/wine-run.sh, which keeps a private
# Wine prefix inside the build folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CORV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CORV_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${CORV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Every program and every DLL (the host's SDK library, an add-on) carries its
# C++ runtime and winpthreads inside: no DLL of the compiler has to be found
# beside it in the Wine prefix, and an add-on a user installs imports only
# system DLLs and the host's. Each module thus has its own copy of the C++
# runtime, but all of them allocate from msvcrt's one heap, so memory may be
# freed by another module than the one that allocated it.
#
# A DLL exports every symbol of its own objects (ld's default when none is
# marked dllexport), data and vtables included, which the importing module
# reaches through auto-import. Static libraries linked into it (the C++
# runtime, winpthreads, our own) are not exported: each module keeps its own
# copy, and a program never binds to another module's copy by accident.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CORV_MINGW_DLL_LINKER_FLAGS "-static -static-libgcc -static-libstdc++ -Wl,--exclude-libs,ALL")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CORV_MINGW_DLL_LINKER_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CORV_MINGW_DLL_LINKER_FLAGS}")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
