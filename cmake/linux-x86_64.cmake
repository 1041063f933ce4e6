# SPDX-License-Identifier: MIT
# Build for 64-bit x86 Linux (Debian's g++, or g++-x86-64-linux-gnu elsewhere).
set(LINUX_TRIPLE x86_64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DEBIAN_ARCHITECTURE amd64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-common.cmake)
