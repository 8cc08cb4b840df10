// The ordered worker pool of verify: releases judged on several workers,
// printed in the order they came. May include the library and the core.
#pragma once

#include <functional>

#include "judgement.h"
#include "progress.h"
#include "releases.h"
#include "verify_settings.h"

// Judges the releases on `settings.jobs` workers and hands each judgement
// to `print` in the order the releases came; stops when `print` returns
// false (the output cannot be written).
void check_all(Releases &releases, const Settings &settings, Progress &progress,
               const std::function<bool(const Judgement &)> &print);
