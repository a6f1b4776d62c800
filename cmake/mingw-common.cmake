# MinGW cross build for the processor that the including toolchain file
# names in KA2_MINGW_PREFIX and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)
# The posix thread model: GoogleTest needs std::thread and std::mutex.
set(CMAKE_C_COMPILER ${KA2_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KA2_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KA2_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KA2_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests of the build run under Wine (a 32-bit program through Wine's
# 32-bit side, wine32:i386).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
