# SPDX-License-Identifier: MIT
# What the Linux builds share; the including file sets the triple, the
# processor and its Debian name, and Debian puts each triple's libraries
# under /usr/<triple>.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${LINUX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LINUX_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${LINUX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Cached, so that CPack sees it whatever scope reads this file.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${DEBIAN_ARCHITECTURE} CACHE STRING
    "The processor's name in Debian")
