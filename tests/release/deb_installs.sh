#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# DEB: the package installs, its talvor runs and its manual is found; it is
# removed again.
set -euo pipefail
dpkg -i "$1"
talvor >/dev/null || [ $? -eq 255 ]
man -w talvor >/dev/null
dpkg -r talvor >/dev/null
