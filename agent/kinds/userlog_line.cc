// One user-formatted line turned into a VXLOGENT row through a compiled
// format command.
#include "agent/kinds/userlog_line.h"

#include <string.h>

#include "framework/runtime/trace.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

// Output slots of the keyword table, by PrintIndex.
constexpr int YEARSLOT = 0;
constexpr int MONTHSLOT = 1;
constexpr int DAYSLOT = 2;
constexpr int HOURSLOT = 3;
constexpr int MINUTESLOT = 4;
constexpr int SECONDSLOT = 5;
constexpr int SYSTEMSLOT = 6;
constexpr int SOURCESLOT = 7;
constexpr int TYPESLOT = 8;
constexpr int CLASSSLOT = 9;
constexpr int DESCRIPTIONSLOT = 10;
constexpr int TIMESLOT = 11;
constexpr int FRACTIONSLOT = 12;
constexpr int ZONESLOT = 13;
static_assert(NUMKEYWORDS == 14, "one output slot per keyword");

}  // namespace

long FormatUserlogLine(StringParser* anchor, char* line,
                       tvx_vxlogent_data_t* row, _UserlogLineContext* context,
                       _EntryTimeBuffers* times_out) {
  WEX1_Event ev(wex1, __func__);
  memset(row, ' ', sizeof *row);
  _EntryTimeBuffers times;
  memset(&times, 0, sizeof times);
  context->Replaced = 0;
  // The time texts keep their last character for the terminator; the row's
  // columns are blank-filled and take no terminator.
  _FormatBuffer slots[NUMKEYWORDS];
  slots[YEARSLOT] = {times.Year, ENTRYTIMETEXTSIZE - 1};
  slots[MONTHSLOT] = {times.Month, ENTRYTIMETEXTSIZE - 1};
  slots[DAYSLOT] = {times.Day, ENTRYTIMETEXTSIZE - 1};
  slots[HOURSLOT] = {times.Hour, ENTRYTIMETEXTSIZE - 1};
  slots[MINUTESLOT] = {times.Minute, ENTRYTIMETEXTSIZE - 1};
  slots[SECONDSLOT] = {times.Second, ENTRYTIMETEXTSIZE - 1};
  slots[SYSTEMSLOT] = {row->entrysys, sizeof row->entrysys};
  slots[SOURCESLOT] = {row->entrysrc, sizeof row->entrysrc};
  slots[TYPESLOT] = {row->entrytype, sizeof row->entrytype};
  slots[CLASSSLOT] = {row->entryclass, sizeof row->entryclass};
  slots[DESCRIPTIONSLOT] = {row->entrydesc, sizeof row->entrydesc};
  slots[TIMESLOT] = {times.Time, ENTRYSTAMPTEXTSIZE - 1};
  slots[FRACTIONSLOT] = {times.Fraction, ENTRYFRACTIONTEXTSIZE - 1};
  slots[ZONESLOT] = {times.Zone, ENTRYFRACTIONTEXTSIZE - 1};

  // The line's end is cut for the scan and put back afterwards, so that
  // the caller (the debug log, a report's buffer) keeps the line as read.
  char empty[1] = "";
  if (line == nullptr) {
    line = empty;
  }
  const size_t full = strlen(line);
  const size_t length = CutLineEnd(line);
  long rc = -1;
  if (anchor != nullptr && anchor->spFormatLine(line, slots) >= 1) {
    rc = FormatUserlogEntryTime(row->entrytime, &times, context);
  }
  if (full - length == 2) {
    line[length] = '\r';
    line[length + 1] = '\n';
  } else if (full - length == 1) {
    line[length] = '\n';
  }
  if (times_out != nullptr) {
    *times_out = times;
  }
  return ev.Result(rc);
}
