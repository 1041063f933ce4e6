# SPDX-License-Identifier: MIT
# Cross-build for 64-bit Windows with mingw-w64 (Debian's g++-mingw-w64-x86-64).
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
