# Cross compiling the driver for i386 Windows with Debian's MinGW-w64 toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(Z40K_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_CXX_COMPILER ${Z40K_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${Z40K_MINGW_PREFIX}-windres)
find_program(Z40K_DLLTOOL ${Z40K_MINGW_PREFIX}-dlltool REQUIRED)

# Libraries and headers of the target only: the kernel's import library comes from here.
set(CMAKE_FIND_ROOT_PATH /usr/${Z40K_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
