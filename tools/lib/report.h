// How a judgement is written: the dialog's blocks, one --brief line, one
// JSON object, and the notes for standard error. Names are escaped here and
// nowhere else. May include the library and the core.
#pragma once

#include <string>

#include "judgement.h"
#include "verify_settings.h"

// What one entry prints: standard output, and notes for standard error.
struct Written {
    std::string out, err;
};

// What `j` prints in `format`; `headed`: blocks headed by the path.
Written write(const Judgement &j, Format format, bool headed);

// The verdict as one line of --brief shows it after the path: genuine, NOT
// genuine with the failed status line and the reason, or not checked with
// the reason; a verdict taken over unchanged says since when.
std::string verdict_text(const Judgement &j);
