// Release verification: the five-stage check of a release's information
// file, and the pure computations that decide its last stage.
//
// Nothing here depends on a window system; the run writes its texts through
// the Display that its caller hands in.
#pragma once

// The whole of it, for the programs and the tests; each part is a header of
// its own.
#include "code.h"
#include "digest.h"
#include "info_file.h"
#include "run.h"
