// TRANSITIONAL: kept so the files not yet moved to Env keep compiling; see
// platform/transitional.h. New code includes platform/env.h.
#pragma once

#include "platform/transitional.h"
