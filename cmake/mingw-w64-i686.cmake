# SPDX-License-Identifier: MIT
# Cross-build for 32-bit Windows with mingw-w64 (Debian's g++-mingw-w64-i686).
set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
