# Cross-builds the Windows gateway with MinGW-w64 (the posix thread model,
# which std::thread needs). Tests run under Wine:
#   cmake -G Ninja -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELVARIX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELVARIX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVARIX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVARIX_MINGW_PREFIX}-windres)

# Look for libraries and headers of the target only, programs of the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KELVARIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Each .exe carries its C++ runtime and needs only the system's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs and test discovery run under Wine.
find_program(KELVARIX_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVARIX_WINE})
