// The 16-character local time stamp (CYYMMDDHHMMSSmmm) that thresholds,
// report windows and qorctl's time arguments use.
#ifndef QOR_UTIL_TIMESTAMP_H_
#define QOR_UTIL_TIMESTAMP_H_

// Writes the time stamp of `t` (FormatTimeStamp: local time; 16 '0'
// characters when it has none) into out[0..15] and terminates it at out[16].
void HOV_FormatTimestamp(long t, char out[17]);

#endif  // QOR_UTIL_TIMESTAMP_H_
