// StringParser compiles a user-written format command into a chain of parser
// objects and applies that chain to lines of text.
//
// A format command looks like   A,"<scan format>",name[="<print format>"] ...
// The scan format is split into one directive object per scan directive; each
// non-suppressed directive is named after a keyword of a caller-supplied
// keyword table and gets a print directive. Applying the chain to a line scans
// every directive into its own value storage and writes each named value, as
// text, into the output slot of its keyword (_FormatBuffer).
//
// Ownership: the object built with the two-argument constructor is the anchor;
// it heads the chain and owns it through ScanOrder (deleting the anchor deletes
// every directive object). The caller owns the anchor, the keyword table and
// the output slots.
// Threads: compilation happens once, in the constructor. A compiled chain keeps
// the values of the line in progress, so spFormatLine, spScanInput and
// spFormatFields on one anchor must be serialised by the caller; the chain is
// otherwise read-only.
// Errors: nothing is thrown; every failure is traced under the unit label
// "SP100" and reported through ObjectStatus or a -1 result.
#ifndef QOR_PARSER_STRING_PARSER_H_
#define QOR_PARSER_STRING_PARSER_H_

#include <stdint.h>

// Scan (and print) data type: size code (none 0, h 20, l 30, L 40, ll 50)
// plus conversion code (d/i 1, o 2, u 3, x 4, e 5, f 6, g 7); strings 8,
// single characters 9; -1 marks a failed extraction.
typedef int32_t _DataType;

// -1 invalid (initial and after any failure), 0 the closing quote was reached
// and the object holds no directive, 1 directive compiled, 2 (anchor only)
// the whole command is learned and usable.
typedef int32_t _ObjectStatus;

constexpr _ObjectStatus OBJECT_INVALID = -1;
constexpr _ObjectStatus OBJECT_END = 0;
constexpr _ObjectStatus OBJECT_COMPILED = 1;
constexpr _ObjectStatus OBJECT_LEARNED = 2;

constexpr unsigned MAXFIELDSIZE = 1023;     // largest scan width and column
constexpr int MAXFIELDSIZECHARS = 4;        // digits of a scan width or column
constexpr unsigned MAXDIRECTIVESIZE = 255;  // characters of one directive text
// Width given to %s, %[ and %r without one: the longest line the agent
// reads, so that such a field always takes its whole token.
constexpr unsigned DEFAULTSTRINGWIDTH = 2047;
constexpr int MAXPRINTFIELDSIZE = 256;  // largest print width and precision
constexpr int MAXPRINTFIELDSIZECHARS =
    3;                               // digits of a print width or precision
constexpr int MAXKEYWORDS = 100;     // keywords before the end record
constexpr int FORMATBUFSIZE = 2046;  // scratch text of one formatted field
constexpr int FIELDNAMESIZE = 16;    // FieldName, terminator included

// Appended to every scan text so that each scan reports what it consumed.
constexpr char aNDIRECTIVE[] = "%n";

// Default print directives; each is also its type's display name.
constexpr char DEFAULT_INT[] = "%d";
constexpr char DEFAULT_UINTo[] = "%o";
constexpr char DEFAULT_UINTu[] = "%u";
constexpr char DEFAULT_UINTx[] = "%x";
constexpr char DEFAULT_FLOATe[] = "%e";
constexpr char DEFAULT_FLOATf[] = "%f";
constexpr char DEFAULT_FLOATg[] = "%g";
constexpr char DEFAULT_STRING[] = "%s";
constexpr char DEFAULT_CHAR[] = "%c";
constexpr char DEFAULT_SHORT[] = "%hd";
constexpr char DEFAULT_SHORTo[] = "%ho";
constexpr char DEFAULT_SHORTu[] = "%hu";
constexpr char DEFAULT_SHORTx[] = "%hx";
constexpr char DEFAULT_LONG[] = "%ld";
constexpr char DEFAULT_LONGo[] = "%lo";
constexpr char DEFAULT_LONGu[] = "%lu";
constexpr char DEFAULT_LONGx[] = "%lx";
constexpr char DEFAULT_DOUBLEe[] = "%le";
constexpr char DEFAULT_DOUBLEf[] = "%lf";
constexpr char DEFAULT_DOUBLEg[] = "%lg";
constexpr char DEFAULT_BIGLONG[] = "%Ld";
constexpr char DEFAULT_BIGLONGo[] = "%Lo";
constexpr char DEFAULT_BIGLONGu[] = "%Lu";
constexpr char DEFAULT_BIGLONGx[] = "%Lx";
constexpr char DEFAULT_LONGDOUBLEe[] = "%Le";
constexpr char DEFAULT_LONGDOUBLEf[] = "%Lf";
constexpr char DEFAULT_LONGDOUBLEg[] = "%Lg";
constexpr char DEFAULT_LONGLONG[] = "%lld";
constexpr char DEFAULT_LONGLONGo[] = "%llo";
constexpr char DEFAULT_LONGLONGu[] = "%llu";
constexpr char DEFAULT_LONGLONGx[] = "%llx";

// One keyword record. A field name selects the keyword when it is a prefix of
// Keyword at least MinLength long. A record with MinLength 0 ends a table.
struct _KeywordFields {
  const char* Keyword;
  uint32_t MinLength;
};

// The keyword table of both programs; a record's position is the PrintIndex
// (output slot) of the fields named after it.
inline constexpr _KeywordFields KEYWORDS[] = {
    {"year", 2},     {"month", 2},  {"day", 2},         {"hour", 2},
    {"minute", 2},   {"second", 2}, {"system", 2},      {"source", 2},
    {"type", 2},     {"class", 2},  {"description", 2}, {"time", 2},
    {"fraction", 2}, {"zone", 2},   {nullptr, 0},
};
// Keywords in KEYWORDS (the end record excluded): the number of output slots.
constexpr int NUMKEYWORDS =
    static_cast<int>(sizeof KEYWORDS / sizeof KEYWORDS[0]) - 1;

// One output slot per keyword, indexed by PrintIndex. The caller sets every
// entry before each line; formatting writes no terminator.
struct _FormatBuffer {
  char* Position;  // where the next text for this keyword goes; advanced per
                   // field
  int64_t
      Remaining;  // characters the slot still accepts; 0 or less disables it
};

// The working record of one directive under construction.
struct _BuildArea {
  const char* Cursor;               // read position in the format command
  char Text[MAXDIRECTIVESIZE + 1];  // directive text built so far, terminated
  uint32_t Length;                  // characters in Text
};

class StringParser {
 public:
  // Builds an anchor from `format` and `keywords` (neither is kept). Read
  // ObjectStatus afterwards: OBJECT_LEARNED means usable; anything else means
  // the command was rejected (reasons traced) and the anchor must be deleted.
  StringParser(const char* format, const _KeywordFields* keywords);
  // Deletes the whole chain after this object and the owned texts and value.
  virtual ~StringParser();

  StringParser(const StringParser&) = delete;
  StringParser& operator=(const StringParser&) = delete;

  // Writes this object's state to the trace, without a level test.
  void spPrintSelf() const;
  // spPrintSelf for this object and every object after it in scan order.
  void spPrintChain() const;

  // Called on a learned anchor. Scans `line` and, when at least one directive
  // was scanned, formats the fields into `slots` (one per keyword).
  // Returns the number of fields written (0 or more), or -1 when the scan or
  // the formatting failed (traced).
  long spFormatLine(const char* line, _FormatBuffer* slots);
  // Scans `line` into the directives' values. Returns the number of
  // directives scanned, or -1 (traced).
  long spScanInput(const char* line);
  // Writes every named value through its print directive into its slot.
  // Returns the number of fields written, or -1 (traced).
  long spFormatFields(_FormatBuffer* slots);

  // The default print directive (display name) of `type`; "" for an invalid
  // type (traced).
  static const char* spConvertType2Char(_DataType type);
  // The character denoted by the escape `\c`, or 0 for an invalid escape.
  static char spConvertEscape(char c);

  // State, in the order of the state dump. Callers read; only the parser
  // writes.
  char FieldName[FIELDNAMESIZE];  // "ANCHOR", the keyword, "*" when suppressed,
                                  // or ""
  int64_t PrintIndex;  // keyword position (output slot); -1 when none
  StringParser*
      ScanOrder;          // next object in scan order; owning; null at the end
  uint32_t Offset;        // column - 1; 0 = no column
  uint32_t MaxFieldSize;  // scan width; 0 = none
  int32_t MinFieldSize;   // print minimum width; 0 = none
  int32_t Precision;      // print precision; 0 when none
  char* ScanDirective;    // scan text ending in %n; owned; null until compiled
  char* PrintDirective;   // print format; owned; null if suppressed or anchor
  _DataType DataType;     // scan data type (8 becomes 9 when printed with %c)
  void* Value;         // scanned value, sized by DataType; owned; may be null
  uint8_t Suppressed;  // 1 for a '*' directive
  _ObjectStatus ObjectStatus;

 private:
  // How spScanInput reads this directive: SCAN_C library scan, the others
  // its own conversions (SCAN_C_TEXT a %Nc, whose value is cleared first).
  enum ScanKinds : uint8_t {
    SCAN_C = 0,
    SCAN_C_TEXT,
    SCAN_STAMP,     // %T  ISO 8601 / RFC 3339 time stamp
    SCAN_EPOCH,     // %E  seconds since the epoch, optional fraction
    SCAN_EPOCH_MS,  // %Q  milliseconds since the epoch
    SCAN_UPTO,      // %r  text up to the last place of the separator after it
    SCAN_OPTIONAL,  // %{  an optional part begins
    SCAN_OPTIONAL_END,  // %}  it ends
  };
  uint8_t ScanKind = SCAN_C;
  // 1 when this line's scan skipped the directive (an optional part that was
  // not there): it writes no field.
  uint8_t Absent = 0;
  // Anchor only: a field cut to its slot has been traced for this command.
  bool CutTraced = false;

  // The own conversions; each returns the characters it consumed at `text`
  // (its literal before it already matched) or -1 when the text does not
  // hold what it reads.
  int spScanOwn(const char* text);
  // The separator a %r stops at: the literal before the next directive.
  // Its length is set into *length; null when there is none.
  const char* spSeparator(uint32_t* length) const;

  // A directive object: compiles the next directive at *cursor and advances it.
  explicit StringParser(const char** cursor);

  void spInitThis();
  _ObjectStatus spLearnLogFormat(const char* format,
                                 const _KeywordFields* keywords);
  const char* spFormatNextDirective(const char* cursor);

  int spCollectLiteral(_BuildArea* ba);
  int spFindDirective(_BuildArea* ba);
  int spExtractOffset(_BuildArea* ba);
  int spExtractMaxFieldWidth(_BuildArea* ba);
  int spExtractVariableSize(_BuildArea* ba);
  int spValidateScanConvcode(_BuildArea* ba);
  int spAllocateVariableStorage(_BuildArea* ba, int width_position);

  int spParseFieldNames(const char* cursor, const _KeywordFields* keywords);
  bool spValidateKeywordTable(const _KeywordFields* keywords) const;
  const char* spGetFieldName(const char* cursor,
                             const _KeywordFields* keywords);
  const char* spGetPrintDirective(const char* cursor);
  int spDefaultPrintDirective(_BuildArea* ba);
  int spValidatePrintDirective(_BuildArea* ba);
  int spValidatePrintOptions(_BuildArea* ba);
  int spExtractMinFieldWidth(_BuildArea* ba);
  int spExtractPrecision(_BuildArea* ba);
  int spValidatePrintConvcode(_BuildArea* ba, int size_code);

  // Appends `n` characters to the build area; false when it would exceed
  // MAXDIRECTIVESIZE.
  static bool spAppend(_BuildArea* ba, const char* text, uint32_t n);
};

#endif  // QOR_PARSER_STRING_PARSER_H_
