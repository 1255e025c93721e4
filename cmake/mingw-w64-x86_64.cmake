# Cross-builds the native Windows executable with mingw-w64 (the POSIX thread
# model, so that std::thread and std::mutex work), linked statically so that
# httpd.exe runs without any DLL of the compiler beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HTTPD_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${HTTPD_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HTTPD_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${HTTPD_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${HTTPD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests built here run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
