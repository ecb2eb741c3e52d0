// One line of a user-formatted log ('U') turned into a VXLOGENT row through a
// compiled format command, without a log object or a worker: the formatting
// that Userlog_File runs for every line, and the tests use.
//
// Threads: a compiled chain holds the values of the line in progress, so
// calls on one chain must be serialised by the caller (Userlog_File holds its
// FormatLock); the functions keep no state of their own.
#ifndef QOR_AGENT_KINDS_USERLOG_LINE_H_
#define QOR_AGENT_KINDS_USERLOG_LINE_H_

#include "parser/entry_time.h"
#include "parser/string_parser.h"
#include "tables/tvx_vxlogent_schema.h"

// Fills `row` from `line` through the learned `anchor`: every column blank,
// then the named fields into ENTRYSYS, ENTRYSRC, ENTRYTYPE, ENTRYCLASS and
// ENTRYDESC (each keeps what its column holds) and the time fields into
// ENTRYTIME. The line's end is not scanned (CutLineEnd); `line` is the same
// on return. The common columns (node, path, name, ...) are the caller's. When
// `times` is not null it receives the time texts. 0 when filled; -1 when the
// line does not match, yields no field, or ENTRYTIME cannot be written
// (traced).
long FormatUserlogLine(StringParser* anchor, char* line,
                       tvx_vxlogent_data_t* row, _UserlogLineContext* context,
                       _EntryTimeBuffers* times = nullptr);

#endif  // QOR_AGENT_KINDS_USERLOG_LINE_H_
