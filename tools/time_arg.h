// Time arguments of qorctl, turned into the agent's 16-character time stamps
// (century digit, two-digit year, month, day, hour, minute, second, "000",
// local time), which compare chronologically as text.
#ifndef QOR_TOOLS_TIME_ARG_H_
#define QOR_TOOLS_TIME_ARG_H_

#include <time.h>

#include <string>

// Which end of a time window an argument gives: a date or minute given
// without its smaller parts means its first second at the start and its last
// second at the end, so "--until 2026-12-08" takes in the whole day.
enum class Time_Edge { kStart, kEnd };

// Accepts "YYYY-MM-DD", "YYYY-MM-DD HH:MM", "YYYY-MM-DD HH:MM:SS" (a 'T' may
// stand for the blank; years 1900 to 2899), "now", and a time before `now`
// given as -N followed by s, m, h or d ("-30m", "-2h", "-1d"). False with
// *err saying what was expected.
[[nodiscard]] bool ParseTimeArg(const std::string& text, Time_Edge edge, time_t now,
                                std::string* stamp, std::string* err);

#endif  // QOR_TOOLS_TIME_ARG_H_
