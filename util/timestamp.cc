// The 16-character local time stamp of thresholds, report windows and
// qorctl.
#include "util/timestamp.h"

#include <time.h>

#include "util/time_stamp.h"

void HOV_FormatTimestamp(long t, char out[17]) {
  FormatTimeStamp(static_cast<time_t>(t), out);
  out[TIME_STAMP_LENGTH] = '\0';
}
