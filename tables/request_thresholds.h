// The time window of a log-entries report, handed to a log object's report
// operations: two 16-character time stamps, each terminated; an empty text
// when not given. An entry lies within the window when its ENTRYTIME is not
// earlier than StartTime and not later than EndTime (compared as text).
#ifndef QOR_TABLES_REQUEST_THRESHOLDS_H_
#define QOR_TABLES_REQUEST_THRESHOLDS_H_

struct _RequestThresholds {
  char StartTime[17];
  char EndTime[17];
};

#endif  // QOR_TABLES_REQUEST_THRESHOLDS_H_
