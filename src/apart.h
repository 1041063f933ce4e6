// SPDX-License-Identifier: MIT
// DEST told apart from the inputs by reading, where what stands under them
// could not be followed to its end: before anything is written to it, so
// that no kill at any instant can harm an input.
#ifndef TALVOR_APART_H
#define TALVOR_APART_H

#include "files.h"

// Sets f.apart, or refuses DEST as the input it may be. A DEST this run
// made, or one that the walk followed apart, is apart already. An existing
// DEST whose length or bytes differ from an input's at the same offsets is
// not that input there; one that reads exactly as an input, or cannot be
// read, is refused as that input (REASON_NOT_TOLD_APART), unwritten.
ended prove_apart(files& f);

#endif
