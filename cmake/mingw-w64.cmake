# Cross-building for 64-bit Windows with Debian's mingw-w64 toolchain:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DTARVO_QT=OFF   the Modbus layer and its tests
#   scripts/build-windows                                              the whole program, against our own Qt
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)

# The posix thread model gives std::thread and std::mutex.
find_program(CMAKE_C_COMPILER NAMES ${triple}-gcc-posix ${triple}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${triple}-g++-posix ${triple}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The Qt-free programs run under wine without the toolchain's DLLs beside
# them. The Qt program shares the runtime DLLs with the Qt DLLs instead: one
# C++ runtime in the process.
if(DEFINED TARVO_QT AND NOT TARVO_QT)
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
endif()
