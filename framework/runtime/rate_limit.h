// The event path's spelling of the one rate limiter (util/repeat_limiter.h).
#ifndef QOR_FRAMEWORK_RUNTIME_RATE_LIMIT_H_
#define QOR_FRAMEWORK_RUNTIME_RATE_LIMIT_H_

#include "util/repeat_limiter.h"

using Rate_Limit = Repeat_Limiter;

#endif  // QOR_FRAMEWORK_RUNTIME_RATE_LIMIT_H_
