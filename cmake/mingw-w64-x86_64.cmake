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
# Every program carries its C++ runtime and winpthreads inside: no DLL of the
# compiler has to be found beside it in the Wine prefix.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
