# SPDX-License-Identifier: MIT
# Cross-build for 32-bit x86 Linux (Debian's g++-i686-linux-gnu, which, unlike
# g++-multilib, installs beside the ARM cross compilers).
set(LINUX_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(DEBIAN_ARCHITECTURE i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-common.cmake)
