# SPDX-License-Identifier: MIT
# Prints why each test of the run skipped, from the log that tests/main.cpp
# appends to: cmake -DLOG=FILE -P show_skips.cmake
if(EXISTS "${LOG}")
    file(READ "${LOG}" skipped)
    message("Skipped, and why:\n${skipped}")
else()
    message("No test skipped.")
endif()
