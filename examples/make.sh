#!/bin/sh
# SPDX-License-Identifier: MIT
# Remakes the example files: a 2 KiB IP.BIN and a 64 KiB image, both plain
# text so that the result of an insertion can be read with any pager.
set -eu
cd "$(dirname "$0")"
awk 'BEGIN { for (i = 0; i < 64; i++) printf "IP.BIN d exemple, ligne %02d ....\n", i }' >IP.BIN
awk 'BEGIN { for (i = 0; i < 2048; i++) printf "image d exemple, secteur %05d.\n", i }' >image.img
