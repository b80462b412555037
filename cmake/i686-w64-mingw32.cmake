# Cross-compiling the 32-bit Windows build with mingw-w64 (posix thread model, for std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Each .exe runs on its own: no libgcc, libstdc++ or winpthread DLL beside it.
# SSE2 arithmetic, so that doubles round exactly as on the 64-bit build (no x87 excess precision).
# The lowest Windows is Vista (6.0): the headers offer nothing newer, and the PE header says so,
# so that an older Windows refuses the program with its own message instead of failing on a
# missing entry point (tests/package/windows_imports.txt lists what the program imports).
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -D_WIN32_WINNT=0x0600 -DWINVER=0x0600")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -D_WIN32_WINNT=0x0600 -DWINVER=0x0600")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ \
-Wl,--major-os-version,6,--minor-os-version,0,--major-subsystem-version,6,--minor-subsystem-version,0")
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run")
