# Cross-builds the Windows executable with Debian's x86_64 mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TKV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TKV_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TKV_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TKV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TKV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# One file that runs with nothing beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
