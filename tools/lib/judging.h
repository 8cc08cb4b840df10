// Judging one release of a run of verify: the five stages under each key,
// a file that changes while it is read, a verdict taken over from the state
// database. May include the library and the core.
#pragma once

#include <atomic>
#include <cstdint>

#include "judgement.h"
#include "releases.h"
#include "verify_settings.h"

// Judges one entry: runs the check, or says why it could not, or takes the
// recorded verdict over (--incremental, --resume). Adds the bytes read to
// `scanned`.
Judgement judge_entry(const Release &release, const Settings &settings,
                      std::atomic<std::uint64_t> &scanned);
