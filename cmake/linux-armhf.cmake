# SPDX-License-Identifier: MIT
# Cross-build for 32-bit ARM Linux with hardware floating point (Debian's
# g++-arm-linux-gnueabihf).
set(LINUX_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(DEBIAN_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-common.cmake)
