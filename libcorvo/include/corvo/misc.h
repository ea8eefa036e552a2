/// @file
/// Compatibility umbrella for the small helpers shared by the whole library.
/// New code includes the header of the job it needs: corvo/errors.h (the
/// exception family), corvo/text.h (trimming, splitting, escaping),
/// corvo/files.h (file-system helpers) or corvo/timestamp.h (send times).
#pragma once

#include "corvo/errors.h"
#include "corvo/files.h"
#include "corvo/text.h"
#include "corvo/timestamp.h"
