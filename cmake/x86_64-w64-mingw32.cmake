# Cross-build for 64-bit Windows with Debian's MinGW-w64 (the posix-threads variant: GoogleTest
# and the C++ runtime's std::mutex need it). Everything is linked statically, so the programs
# need only the DLLs that come with Windows. Tests run under Wine through scripts/wine-run, in a
# Wine prefix of the build's own; the libraries Debian has no MinGW-w64 package of come from
# scripts/mingw-deps.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(DEFINED ENV{TAMBERLO_MINGW_DEPS})
  set(TAMBERLO_MINGW_DEPS "$ENV{TAMBERLO_MINGW_DEPS}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(TAMBERLO_MINGW_DEPS "$ENV{XDG_CACHE_HOME}/tamberlo/mingw-w64")
else()
  set(TAMBERLO_MINGW_DEPS "$ENV{HOME}/.cache/tamberlo/mingw-w64")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${TAMBERLO_MINGW_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The Wine prefix is the build's own: <build>/wine.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run"
    "${CMAKE_BINARY_DIR}/wine")
