# Cross build for 64-bit Windows with MinGW-w64 (posix threads): the unit
# suite as a Windows program, run under wine64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QAV_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
