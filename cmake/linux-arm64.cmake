# SPDX-License-Identifier: MIT
# Cross-build for 64-bit ARM Linux (Debian's g++-aarch64-linux-gnu).
set(LINUX_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(DEBIAN_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-common.cmake)
