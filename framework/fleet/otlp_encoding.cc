// Event lines read back and written as OpenTelemetry log records: a small
// scanner for the sink's own JSON lines, a protobuf writer to the field
// numbers of otlp_logs.proto, and the OTLP/JSON form of the same.
#include "framework/fleet/otlp_encoding.h"

#include <string.h>

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "framework/tables/row_json.h"

namespace {

// ---- reading the event line ----

// Where the quotes and backslashes of `s` are, in order, with s.size()
// after the last: into *at (grown, never shrunk), their count returned. Found
// 16 bytes at a time where SSE2 is there, all before reading: the scanner then
// takes each string's end from the list instead of searching for it, and no
// search waits on the one before.
size_t FindQuotes(std::string_view s, std::vector<size_t>* at, bool* escapes) {
  const size_t n = s.size();
  if (at->size() < n + 2) {
    at->resize(n + 2);
  }
  size_t* out = at->data();
  size_t k = 0;
  const char* p = s.data();
  size_t i = 0;
  unsigned backslashes = 0;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const unsigned b =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, backslash)));
    unsigned bits =
        b | static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, quote)));
    backslashes |= b;
    while (bits != 0) {
      out[k++] = i + static_cast<size_t>(__builtin_ctz(bits));
      bits &= bits - 1;
    }
  }
#endif
  for (; i < n; ++i) {
    if (p[i] == '"' || p[i] == '\\') {
      backslashes |= p[i] == '\\';
      out[k++] = i;
    }
  }
  out[k] = n;
  out[k + 1] = n;  // read ahead by Line_Walk::String
  *escapes = backslashes != 0;
  return k + 1;
}

// Whether `c` may be part of a JSON number (its text is checked later).
inline bool InNumber(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' ||
         c == 'e' || c == 'E';
}

// JSON text scanner over one line; on a syntax error `ok` turns false.
struct Scanner {
  std::string_view s;
  size_t at = 0;
  bool ok = true;
  std::string* text;     // unescaped strings go here (reserved by the caller)
  const size_t* quotes;  // FindQuotes of `s`
  size_t quote_count;
  size_t next = 0;  // the first of quotes at `at` or after

  void Ws() {
    while (at < s.size() &&
           (s[at] == ' ' || s[at] == '\t' || s[at] == '\r' || s[at] == '\n')) {
      ++at;
    }
  }
  bool Eat(char c) {
    Ws();
    if (at < s.size() && s[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
  static int Hex(char c) {
    if (c >= '0' && c <= '9')
      return c - '0';
    if (c >= 'a' && c <= 'f')
      return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
      return c - 'A' + 10;
    return -1;
  }
  unsigned Hex4(size_t from) {
    if (from + 4 > s.size()) {
      ok = false;
      return 0;
    }
    unsigned v = 0;
    for (size_t i = 0; i < 4; ++i) {
      const int h = Hex(s[from + i]);
      if (h < 0) {
        ok = false;
        return 0;
      }
      v = v * 16 + static_cast<unsigned>(h);
    }
    return v;
  }
  void PutUtf8(unsigned cp) {
    if (cp < 0x80) {
      text->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      text->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      text->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      text->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      text->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      text->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      text->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      text->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      text->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      text->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  // A string at `at` (after blanks): its text, a view of the line when it
  // has no escape, else of what was unescaped into *text. Inline: it is
  // most of the reading, and most strings have no escape.
  [[gnu::always_inline]] std::string_view String() {
    if (!Eat('"')) {
      ok = false;
      return {};
    }
    // The next quote or backslash: a quote ends a string without escapes.
    // The list is read in order; after an escape, found again.
    const size_t* q = quotes;
    if (q[next] != at - 1) {
      Resync(at - 1);
    }
    const size_t end = q[next + 1];
    if (end >= s.size()) {
      ok = false;
      return {};
    }
    if (s[end] == '"') {
      const size_t from = at;
      at = end + 1;
      next += 2;
      return s.substr(from, end - from);
    }
    return Unescaped();
  }
  // `next` to the first quote or backslash at `from` or after.
  [[gnu::noinline]] void Resync(size_t from) {
    next = static_cast<size_t>(
        std::lower_bound(quotes, quotes + quote_count, from) - quotes);
  }
  // The rest of String for a string with escapes, unescaped into *text.
  [[gnu::noinline]] std::string_view Unescaped() {
    const size_t start = text->size();
    while (at < s.size() && s[at] != '"') {
      const char c = s[at++];
      if (c != '\\') {
        text->push_back(c);
        continue;
      }
      if (at >= s.size()) {
        break;
      }
      const char e = s[at++];
      switch (e) {
        case 'n':
          text->push_back('\n');
          break;
        case 't':
          text->push_back('\t');
          break;
        case 'r':
          text->push_back('\r');
          break;
        case 'b':
          text->push_back('\b');
          break;
        case 'f':
          text->push_back('\f');
          break;
        case 'u': {
          unsigned cp = Hex4(at);
          at += 4;
          if (cp >= 0xD800 && cp < 0xDC00 && at + 6 <= s.size() &&
              s[at] == '\\' && s[at + 1] == 'u') {
            const unsigned lo = Hex4(at + 2);
            if (lo >= 0xDC00 && lo < 0xE000) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
              at += 6;
            }
          }
          if (!ok) {
            return {};
          }
          PutUtf8(cp);
          break;
        }
        default:
          text->push_back(e);
          break;
      }
    }
    if (at >= s.size()) {
      ok = false;
      return {};
    }
    ++at;  // the closing quote
    return std::string_view(text->data() + start, text->size() - start);
  }
  // A number (an integer is kept; a fraction is read and dropped to its
  // text).
  std::string_view Number() {
    Ws();
    const size_t from = at;
    while (at < s.size() && InNumber(s[at])) {
      ++at;
    }
    if (at == from) {
      ok = false;
    }
    return s.substr(from, at - from);
  }
  // Skips any value.
  void Skip() {
    Ws();
    if (at >= s.size()) {
      ok = false;
      return;
    }
    const char c = s[at];
    if (c == '"') {
      const size_t mark = text->size();
      String();
      text->resize(mark);
    } else if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++at;
      if (Eat(close)) {
        return;
      }
      do {
        if (c == '{') {
          const size_t mark = text->size();
          String();
          text->resize(mark);
          if (!Eat(':')) {
            ok = false;
          }
        }
        Skip();
      } while (ok && Eat(','));
      if (!Eat(close)) {
        ok = false;
      }
    } else if (s.compare(at, 4, "true") == 0 || s.compare(at, 4, "null") == 0) {
      at += 4;
    } else if (s.compare(at, 5, "false") == 0) {
      at += 5;
    } else {
      Number();
    }
  }
};

// Whether `name` is the literal `word`: compared by its known length, with
// no call (most names differ in their first bytes or in length).
template <size_t N>
bool Is(std::string_view name, const char (&word)[N]) {
  return name.size() == N - 1 && memcmp(name.data(), word, N - 1) == 0;
}

bool IsInteger(std::string_view n, int64_t* v) {
  if (n.empty() || n.size() > 18) {
    return false;
  }
  size_t i = n[0] == '-' ? 1 : 0;
  if (i == n.size()) {
    return false;
  }
  int64_t x = 0;
  for (; i < n.size(); ++i) {
    if (n[i] < '0' || n[i] > '9') {
      return false;
    }
    x = x * 10 + (n[i] - '0');
  }
  *v = n[0] == '-' ? -x : x;
  return true;
}

// Four lanes, each folding 16 bytes of the text into itself by one
// 64x64->128-bit multiplication (independent, so that they overlap), then
// two 64-bit mixers over the lanes: 128 bits of a text, fast enough for
// every event. The constants have their high bits set, so that no text of
// printable characters cancels one.
struct Hash128 {
  static constexpr uint64_t kS0 = 0xA0761D6478BD642Full;
  static constexpr uint64_t kS1 = 0xE7037ED1A0B428DBull;
  static constexpr uint64_t kS2 = 0x8EBC6AF09C88C6E3ull;
  static constexpr uint64_t kS3 = 0x989E1E29D9E1C8B5ull;
  uint64_t lane[4] = {0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full,
                      0x87C37B91114253D5ull, 0x4CF5AD432745937Full};
  uint64_t length = 0;
  static uint64_t Rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
  static uint64_t Mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return x;
  }
  // The product's two halves folded: every bit of both inputs reaches it.
  static uint64_t Fold(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
#else
    // The same product from four of 32 by 32 bits.
    const uint64_t al = a & 0xFFFFFFFFull, ah = a >> 32;
    const uint64_t bl = b & 0xFFFFFFFFull, bh = b >> 32;
    const uint64_t ll = al * bl, lh = al * bh, hl = ah * bl, hh = ah * bh;
    const uint64_t mid =
        (ll >> 32) + (lh & 0xFFFFFFFFull) + (hl & 0xFFFFFFFFull);
    const uint64_t lo = (mid << 32) | (ll & 0xFFFFFFFFull);
    const uint64_t hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
    return lo ^ hi;
#endif
  }
  static void Round(uint64_t* a, uint64_t* b, uint64_t* c, uint64_t* d,
                    const uint64_t w[8]) {
    *a = Fold(w[0] ^ kS0, w[1] ^ *a);
    *b = Fold(w[2] ^ kS1, w[3] ^ *b);
    *c = Fold(w[4] ^ kS2, w[5] ^ *c);
    *d = Fold(w[6] ^ kS3, w[7] ^ *d);
  }
  void Add(std::string_view t) {
    length += t.size();
    const char* p = t.data();
    size_t n = t.size();
    // The lanes in registers: through memory each round waits for the last.
    uint64_t a = lane[0], b = lane[1], c = lane[2], d = lane[3];
    for (; n >= 64; p += 64, n -= 64) {
      uint64_t w[8];
      memcpy(w, p, 64);
      Round(&a, &b, &c, &d, w);
    }
    // The rest, at most 63 bytes, with its length in the last byte: a text
    // split elsewhere hashes apart.
    uint64_t w[8] = {};
    if (n > 0) {
      memcpy(w, p, n);
    }
    w[7] ^= static_cast<uint64_t>(n) << 56;
    Round(&a, &b, &c, &d, w);
    lane[0] = a;
    lane[1] = b;
    lane[2] = c;
    lane[3] = d;
  }
  // 16 hexadecimal digits of `x`, most significant first.
  static void Hex16(uint64_t x, char* out) {
    for (int half = 0; half < 2; ++half) {
      // One nibble a byte, the most significant in the first.
      uint64_t n = (x >> (half == 0 ? 32 : 0)) & 0xFFFFFFFFull;
      n = ((n & 0xFFFF0000ull) << 16) | (n & 0xFFFFull);
      n = ((n & 0x0000FF000000FF00ull) << 8) | (n & 0x000000FF000000FFull);
      n = ((n & 0x00F000F000F000F0ull) << 4) | (n & 0x000F000F000F000Full);
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      n = __builtin_bswap64(n);
#endif
      // '0' + n, and 'a' - 10 + n where n >= 10.
      const uint64_t letters =
          ((n + 0x0606060606060606ull) >> 4) & 0x0101010101010101ull;
      n += 0x3030303030303030ull + letters * ('a' - '0' - 10);
      memcpy(out + 8 * half, &n, 8);
    }
  }
  void Hex(char out[33]) const {
    const uint64_t x = Mix(Rotl(lane[0], 1) + Rotl(lane[1], 7) +
                           Rotl(lane[2], 12) + Rotl(lane[3], 18) + length);
    const uint64_t y = Mix(lane[0] ^ Mix(lane[1] ^ Mix(lane[2] ^ lane[3])));
    Hex16(x, out);
    Hex16(y, out + 16);
    out[32] = '\0';
  }
};

constexpr const char* kLevelWords[8] = {"emerg",   "alert",  "crit", "err",
                                        "warning", "notice", "info", "debug"};

// The level of a "<PRI>" (0 to 191) that `text` begins with, else -1.
int LeadingPriority(std::string_view text) {
  if (text.size() < 3 || text[0] != '<') {
    return -1;
  }
  size_t i = 1;
  int pri = 0;
  while (i < text.size() && i < 4 && text[i] >= '0' && text[i] <= '9') {
    pri = pri * 10 + (text[i] - '0');
    ++i;
  }
  return i > 1 && i < text.size() && text[i] == '>' && pri <= 191 ? pri % 8
                                                                  : -1;
}

// Appends an attribute, written in place: a Value made apart and copied in
// costs a stall on every copy (stored by fields, loaded by wider moves).
[[gnu::always_inline]] inline void PutAttribute(
    std::vector<Otlp_Record::Value>* attributes, std::string_view prefix,
    std::string_view group, std::string_view key, std::string_view text,
    bool is_number = false, int64_t number = 0) {
  Otlp_Record::Value& v = attributes->emplace_back();
  v.prefix = prefix;
  v.group = group;
  v.key = key;
  v.text = text;
  v.number = number;
  v.is_number = is_number;
}

}  // namespace

int OtlpSyslogSeverity(int level) {
  // OpenTelemetry's mapping of syslog severities.
  static const int kNumbers[8] = {21, 19, 18, 17, 13, 10, 9, 5};
  return level >= 0 && level < 8 ? kNumbers[level] : 0;
}

int SyslogLevelOfWord(std::string_view word) {
  for (int i = 0; i < 8; ++i) {
    if (word == kLevelWords[i]) {
      return i;
    }
  }
  if (word == "panic" || word == "emergency")
    return 0;
  if (word == "critical")
    return 2;
  if (word == "error")
    return 3;
  if (word == "warn")
    return 4;
  if (word == "informational")
    return 6;
  return -1;
}

uint64_t Rfc3339ToUnixNanos(std::string_view t) {
  auto digits = [&](size_t at, size_t n, int* v) {
    if (at + n > t.size()) {
      return false;
    }
    int x = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (t[i] < '0' || t[i] > '9') {
        return false;
      }
      x = x * 10 + (t[i] - '0');
    }
    *v = x;
    return true;
  };
  int y, mo, d, h, mi, s;
  if (!digits(0, 4, &y) || t.size() < 19 || t[4] != '-' || !digits(5, 2, &mo) ||
      t[7] != '-' || !digits(8, 2, &d) ||
      (t[10] != 'T' && t[10] != 't' && t[10] != ' ') || !digits(11, 2, &h) ||
      t[13] != ':' || !digits(14, 2, &mi) || t[16] != ':' ||
      !digits(17, 2, &s) || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 ||
      mi > 59 || s > 60) {
    return 0;
  }
  size_t at = 19;
  uint64_t frac = 0;
  if (at < t.size() && t[at] == '.') {
    ++at;
    uint64_t scale = 100000000;
    while (at < t.size() && t[at] >= '0' && t[at] <= '9') {
      frac += static_cast<uint64_t>(t[at] - '0') * scale;
      scale /= 10;
      ++at;
    }
  }
  int64_t offset_s = 0;
  if (at < t.size() && (t[at] == 'Z' || t[at] == 'z')) {
    ++at;
  } else if (at < t.size() && (t[at] == '+' || t[at] == '-')) {
    int oh, om;
    if (!digits(at + 1, 2, &oh) || at + 3 >= t.size() || t[at + 3] != ':' ||
        !digits(at + 4, 2, &om)) {
      return 0;
    }
    offset_s = (oh * 3600 + om * 60) * (t[at] == '-' ? -1 : 1);
    at += 6;
  } else {
    return 0;
  }
  if (at != t.size()) {
    return 0;
  }
  // Days since 1970-01-01 of the civil date.
  const int64_t yy = y - (mo <= 2 ? 1 : 0);
  const int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
  const int64_t yoe = yy - era * 400;
  const int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097 + doe - 719468;
  const int64_t secs = days * 86400 + h * 3600 + mi * 60 + s - offset_s;
  if (secs < 0) {
    return 0;
  }
  return static_cast<uint64_t>(secs) * 1000000000ull + frac;
}

uint64_t Otlp_Record::Time_Memo::Of(std::string_view stamp) {
  if (stamp.size() > sizeof text) {
    return Rfc3339ToUnixNanos(stamp);  // not a stamp: not kept
  }
  if (length != 0 && stamp.size() == length) {
    // Stamps are 20 to 35 bytes: compared by four overlapping words where
    // they fit, with no call.
    bool same;
    if (length >= 16 && length <= 32) {
      uint64_t a[4];
      uint64_t b[4];
      memcpy(a, stamp.data(), 16);
      memcpy(a + 2, stamp.data() + length - 16, 16);
      memcpy(b, text, 16);
      memcpy(b + 2, text + length - 16, 16);
      same =
          ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2]) | (a[3] ^ b[3])) == 0;
    } else {
      same = memcmp(stamp.data(), text, length) == 0;
    }
    if (same) {
      return ns;
    }
  }
  ns = Rfc3339ToUnixNanos(stamp);
  length = stamp.size();
  if (length != 0) {
    memcpy(text, stamp.data(), length);
  }
  return ns;
}

// What Read gathers of one line, member by member, whichever way the line
// is taken apart: the record's fields, and the columns it maps when the
// line is read through.
struct Otlp_Record::Members {
  explicit Members(Otlp_Record* record) : r(record) {}
  Otlp_Record* r;
  size_t time_from = 0;  // the "time" member, left out of the uid
  size_t time_to = 0;
  std::string_view logpath;
  std::string_view logname;
  std::string_view entrytype;
  std::string_view entrydesc;
  std::string_view entrytime_col;
  std::string_view timestamp_col;
  bool have_entry = false;

  enum Kind { kString, kNumber, kOther };  // Line_Walk::Scalar gives 0, 1, 2

  // A member of the line's object, its key at [from, ...) and its value
  // ending before `to`; objects go to Column or Field instead.
  void Top(std::string_view key, Kind kind, std::string_view text, size_t from,
           size_t to) {
    if (kind == kString) {
      if (Is(key, "time")) {
        r->observed_ns = r->read_time_.Of(text);
        time_from = from;
        time_to = to;
        return;
      }
      if (Is(key, "entrytime")) {
        r->time_ns = r->entry_time_.Of(text);
        return;
      }
      PutAttribute(&r->attributes, "qoragent.", {}, key, text);
    } else if (kind == kNumber) {
      int64_t number = 0;
      const bool is_number = IsInteger(text, &number);
      PutAttribute(&r->attributes, "qoragent.", {}, key, text, is_number,
                   number);
    }
  }
  // A column of the "row" object.
  void Column(std::string_view col, Kind kind, std::string_view text) {
    int64_t number = 0;
    bool is_number = false;
    if (kind == kString) {
      if (text.empty()) {
        return;  // an empty column says nothing
      }
      if (Is(col, "entry")) {
        r->body = text;
        have_entry = true;
        return;
      }
      if (Is(col, "LOGPATH")) {
        logpath = text;
        return;
      }
      if (Is(col, "LOGNAME")) {
        logname = text;
        return;
      }
      if (Is(col, "ENTRYTYPE")) {
        entrytype = text;
      } else if (Is(col, "ENTRYDESC")) {
        entrydesc = text;
      } else if (Is(col, "ENTRYTIME")) {
        entrytime_col = text;  // kept below unless it is mapped
        return;
      } else if (Is(col, "TIMESTAMP")) {
        timestamp_col = text;
        return;
      } else if (Is(col, "ORIGINNODE") && text == r->system_name_) {
        return;  // the resource's qoragent.system_name
      }
    } else if (kind == kNumber) {
      is_number = IsInteger(text, &number);
    } else {
      return;
    }
    PutAttribute(&r->attributes, kOtlpRowPrefix, {}, col, text, is_number,
                 number);
  }
  // A member of another object ("alert"): one attribute under its name.
  void Field(std::string_view group, std::string_view key, Kind kind,
             std::string_view text) {
    if (kind == kOther) {
      return;  // deeper values are skipped
    }
    Value v;
    v.prefix = "qoragent.";
    v.group = group;
    v.key = key;
    v.text = text;
    if (kind == kNumber) {
      v.is_number = IsInteger(text, &v.number);
    }
    r->attributes.push_back(v);
  }

  // Takes the line apart by the JSON scanner: any JSON object.
  bool Scan(std::string_view line, const size_t* quotes, size_t quote_count);
  // The same for a line as the event writer makes it (no blanks, no
  // escapes, objects of scalars inside): each string is the next pair of
  // quotes. False, with what was gathered to be thrown away, for any other.
  bool Walk(std::string_view line, const size_t* quotes);
};

bool Otlp_Record::Members::Scan(std::string_view line, const size_t* quotes,
                                size_t quote_count) {
  Scanner sc{line, 0, true, &r->text_, quotes, quote_count};
  // A scalar at sc.at (after blanks); anything else is skipped.
  const auto value = [&sc, line](Kind* kind) -> std::string_view {
    sc.Ws();
    if (sc.at < line.size() && line[sc.at] == '"') {
      *kind = kString;
      return sc.String();
    }
    if (sc.at < line.size() &&
        (line[sc.at] == '-' || (line[sc.at] >= '0' && line[sc.at] <= '9'))) {
      *kind = kNumber;
      return sc.Number();
    }
    *kind = kOther;
    sc.Skip();
    return {};
  };
  if (!sc.Eat('{')) {
    return false;
  }
  if (sc.Eat('}')) {
    return true;
  }
  do {
    const size_t member_from = sc.at;
    const std::string_view key = sc.String();
    if (!sc.ok || !sc.Eat(':')) {
      return false;
    }
    sc.Ws();
    if (sc.at < line.size() && line[sc.at] == '{') {
      // An object of scalars: the row's columns, or one attribute per
      // member.
      const bool row = Is(key, "row");
      ++sc.at;
      if (sc.Eat('}')) {
        continue;
      }
      do {
        const std::string_view name = sc.String();
        if (!sc.ok || !sc.Eat(':')) {
          return false;
        }
        Kind kind;
        const std::string_view text = value(&kind);
        if (row) {
          Column(name, kind, text);
        } else {
          Field(key, name, kind, text);
        }
      } while (sc.ok && sc.Eat(','));
      if (!sc.Eat('}')) {
        return false;
      }
      continue;
    }
    Kind kind;
    const std::string_view text = value(&kind);
    Top(key, kind, text, member_from, sc.at);
  } while (sc.ok && sc.Eat(','));
  return sc.ok && sc.Eat('}');
}

namespace {

// Walks a line as the event writer makes it (see Members::Walk): `at` the
// next byte, `qi` the next quote. Every read of s[at] is before the last
// byte, which the caller has checked is the closing brace.
struct Line_Walk {
  const char* s;
  size_t n;
  const size_t* q;
  size_t at = 1;
  size_t qi = 0;

  // A string at `at`: its text, `at` past it.
  [[gnu::always_inline]] bool String(std::string_view* text) {
    const size_t end = q[qi + 1];
    if (s[at] != '"' || q[qi] != at || end >= n) {
      return false;
    }
    *text = std::string_view(s + at + 1, end - at - 1);
    at = end + 1;
    qi += 2;
    return true;
  }
  // A scalar at `at`, `at` past it, and its kind in Members::Kind's order:
  // 0 a string, 1 a number, 2 true, false or null. False for an object, an
  // array or anything else.
  [[gnu::always_inline]] bool Scalar(int* kind, std::string_view* text) {
    const char c = s[at];
    if (c == '"') {
      *kind = 0;
      return String(text);
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      const size_t from = at;
      while (at < n && InNumber(s[at])) {
        ++at;
      }
      *kind = 1;
      *text = std::string_view(s + from, at - from);
      return true;
    }
    *kind = 2;
    *text = {};
    const size_t length = Literal(std::string_view(s + at, n - at));
    at += length;
    return length != 0;
  }
  // The length of the true, false or null `rest` begins with, else 0.
  [[gnu::noinline]] static size_t Literal(std::string_view rest) {
    if (rest.compare(0, 4, "true") == 0 || rest.compare(0, 4, "null") == 0) {
      return 4;
    }
    return rest.compare(0, 5, "false") == 0 ? 5 : 0;
  }
};

}  // namespace

bool Otlp_Record::Members::Walk(std::string_view line, const size_t* q) {
  const size_t n = line.size();
  const char* const s = line.data();
  if (n < 2 || s[0] != '{' || s[n - 1] != '}') {
    return false;
  }
  Line_Walk w{s, n, q};
  if (s[w.at] == '}') {
    return w.at + 1 == n;
  }
  for (;;) {
    const size_t member_from = w.at;
    std::string_view key;
    if (!w.String(&key) || s[w.at] != ':') {
      return false;
    }
    ++w.at;
    int kind;
    std::string_view text;
    if (s[w.at] == '{') {
      const bool row = Is(key, "row");
      ++w.at;
      if (s[w.at] == '}') {
        ++w.at;
      } else {
        for (;;) {
          std::string_view name;
          if (!w.String(&name) || s[w.at] != ':') {
            return false;
          }
          ++w.at;
          if (!w.Scalar(&kind, &text) || w.at >= n) {
            return false;
          }
          if (row) {
            Column(name, static_cast<Kind>(kind), text);
          } else {
            Field(key, name, static_cast<Kind>(kind), text);
          }
          if (s[w.at] == ',') {
            ++w.at;
            continue;
          }
          if (s[w.at] != '}') {
            return false;
          }
          ++w.at;
          break;
        }
      }
    } else {
      if (!w.Scalar(&kind, &text)) {
        return false;
      }
      Top(key, static_cast<Kind>(kind), text, member_from, w.at);
    }
    if (w.at >= n) {
      return false;
    }
    if (s[w.at] == ',') {
      ++w.at;
      continue;
    }
    return s[w.at] == '}' && w.at + 1 == n;
  }
}

void Otlp_Record::Clear(size_t line_size) {
  time_ns = 0;
  observed_ns = 0;
  severity = 0;
  severity_text = {};
  body = {};
  attributes.clear();
  text_.clear();
  text_.reserve(line_size + 16);
  path_.clear();
}

bool Otlp_Record::Read(std::string_view line) {
  if (!line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
  }
  Clear(line.size());
  bool escapes = false;
  const size_t quotes = FindQuotes(line, &quotes_, &escapes);
  Members m(this);
  bool read = !escapes && m.Walk(line, quotes_.data());
  if (!read) {
    Clear(line.size());
    m = Members(this);
    read = m.Scan(line, quotes_.data(), quotes);
  }
  if (!read) {
    attributes.clear();
    body = line;
    time_ns = 0;
    observed_ns = 0;
    m = Members(this);
  } else {
    const std::string_view logpath = m.logpath;
    const std::string_view logname = m.logname;
    const std::string_view entrytype = m.entrytype;
    const std::string_view entrydesc = m.entrydesc;
    const std::string_view entrytime_col = m.entrytime_col;
    const std::string_view timestamp_col = m.timestamp_col;
    const bool have_entry = m.have_entry;
    if (!have_entry) {
      body = entrydesc.empty() ? line : entrydesc;
    }
    // The entry time is time_unix_nano; a row time stamp that is the same
    // says nothing more.
    const bool mapped = time_ns != 0 && !entrytime_col.empty();
    if (!entrytime_col.empty() && !mapped) {
      Value v;
      v.prefix = kOtlpRowPrefix;
      v.key = "ENTRYTIME";
      v.text = entrytime_col;
      attributes.push_back(v);
    }
    if (!timestamp_col.empty() && !(mapped && timestamp_col == entrytime_col)) {
      Value v;
      v.prefix = kOtlpRowPrefix;
      v.key = "TIMESTAMP";
      v.text = timestamp_col;
      attributes.push_back(v);
    }
    if (!logpath.empty() || !logname.empty()) {
      path_.reserve(logpath.size() + logname.size() + 1);
      path_.assign(logpath);
      if (!path_.empty() && path_.back() != '/' && !logname.empty()) {
        path_.push_back('/');
      }
      path_.append(logname);
      PutAttribute(&attributes, {}, {}, "log.file.path", path_);
      PutAttribute(&attributes, {}, {}, "log.file.name", logname);
    }
    // The severity: the entry's priority word, else a "<PRI>" its text or
    // its message begins with.
    int level = entrytype.empty() ? -1 : SyslogLevelOfWord(entrytype);
    if (level >= 0) {
      severity_text = entrytype;
    } else {
      level = LeadingPriority(body);
      if (level < 0) {
        level = LeadingPriority(entrydesc);
      }
      if (level >= 0) {
        severity_text = kLevelWords[level];
      }
    }
    severity = OtlpSyslogSeverity(level);
  }
  // The same event sent again has the same text apart from when it was
  // made: its uid leaves that out.
  Hash128 h;
  h.Add(line.substr(0, m.time_from));
  h.Add(line.substr(m.time_to));
  h.Hex(uid);
  PutAttribute(&attributes, {}, {}, "log.record.uid",
               std::string_view(uid, 32));
  return read;
}

// ---- writing ----

namespace {

size_t VarintSize(uint64_t v) {
  // 7 bits a byte: (bits * 9 + 64) / 64 for bits = 1..64.
  const int bits = 64 - __builtin_clzll(v | 1);
  return static_cast<size_t>((bits * 9 + 64) / 64);
}

void PutVarint(std::string* out, uint64_t v) {
  char buf[10];
  size_t n = 0;
  while (v >= 0x80) {
    buf[n++] = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  buf[n++] = static_cast<char>(v);
  out->append(buf, n);
}

void PutBytes(std::string* out, char tag, std::string_view a) {
  out->push_back(tag);
  PutVarint(out, a.size());
  out->append(a);
}

size_t LenField(size_t length) {
  return 1 + VarintSize(length) + length;
}

[[gnu::always_inline]] inline size_t AnyValueSize(const Otlp_Record::Value& v) {
  return v.is_number ? 1 + VarintSize(static_cast<uint64_t>(v.number))
                     : LenField(v.text.size());
}

[[gnu::always_inline]] inline size_t KeySize(const Otlp_Record::Value& v) {
  return v.prefix.size() + (v.group.empty() ? 0 : v.group.size() + 1) +
         v.key.size();
}

[[gnu::always_inline]] inline size_t KeyValueSize(const Otlp_Record::Value& v) {
  return LenField(KeySize(v)) + LenField(AnyValueSize(v));
}

// Writes into room already made for it (the sizes are counted first): one
// pass, no appends.
struct Writer {
  char* p;
  void Byte(char c) { *p++ = c; }
  void Varint(uint64_t v) {
    while (v >= 0x80) {
      *p++ = static_cast<char>((v & 0x7F) | 0x80);
      v >>= 7;
    }
    *p++ = static_cast<char>(v);
  }
  void Fixed64(uint64_t v) {
    for (int i = 0; i < 8; ++i) {
      *p++ = static_cast<char>(v >> (8 * i));
    }
  }
  // Keys and most values are short: copied by fixed-size moves, overlapping,
  // within the text's own room, rather than by a call.
  [[gnu::always_inline]] void Text(std::string_view t) {
    const char* const s = t.data();
    const size_t n = t.size();
    if (n >= 8 && n <= 16) {
      memcpy(p, s, 8);
      memcpy(p + n - 8, s + n - 8, 8);
    } else if (n >= 4 && n < 8) {
      memcpy(p, s, 4);
      memcpy(p + n - 4, s + n - 4, 4);
    } else if (n < 4) {
      for (size_t i = 0; i < n; ++i) {
        p[i] = s[i];
      }
    } else {
      memcpy(p, s, n);
    }
    p += n;
  }
  void Bytes(char tag, std::string_view t) {
    Byte(tag);
    Varint(t.size());
    Text(t);
  }
  // A KeyValue as field `tag` (LogRecord.attributes: 0x32; a Resource's:
  // 0x0A).
  void KeyValue(char tag, const Otlp_Record::Value& v) {
    KeyValue(tag, v, KeyValueSize(v));
  }
  // The same, its size `size` (KeyValueSize) counted already.
  [[gnu::always_inline]] void KeyValue(char tag, const Otlp_Record::Value& v,
                                       size_t size) {
    Byte(tag);
    Varint(size);
    Byte(0x0A);
    Varint(KeySize(v));
    Text(v.prefix);
    if (!v.group.empty()) {
      Text(v.group);
      Byte('.');
    }
    Text(v.key);
    Byte(0x12);
    Varint(AnyValueSize(v));
    if (v.is_number) {
      Byte(0x18);  // AnyValue.int_value = 3
      Varint(static_cast<uint64_t>(v.number));
    } else {
      Bytes(0x0A, v.text);  // AnyValue.string_value = 1
    }
  }
};

void JsonKeyValue(std::string* out, std::string_view prefix,
                  const Otlp_Record::Value& v) {
  out->append("{\"key\":\"");
  out->append(prefix);
  // Keys are column and member names: plain, but written safely.
  std::string key;
  if (!v.group.empty()) {
    JsonAppendString(&key, v.group.data(), v.group.size());
    out->append(key, 1, key.size() - 2);
    out->push_back('.');
    key.clear();
  }
  JsonAppendString(&key, v.key.data(), v.key.size());
  out->append(key, 1, key.size() - 2);
  if (v.is_number) {
    out->append("\",\"value\":{\"intValue\":\"");
    out->append(std::to_string(v.number));
    out->append("\"}}");
  } else {
    out->append("\",\"value\":{\"stringValue\":");
    JsonAppendString(out, v.text.data(), v.text.size());
    out->append("}}");
  }
}

}  // namespace

Otlp_Encoder::Otlp_Encoder(Otlp_Encoding encoding, std::string host_name,
                           std::string system_name, std::string version)
    : encoding_(encoding),
      host_name_(std::move(host_name)),
      system_name_(std::move(system_name)),
      version_(std::move(version)) {
  Otlp_Record::Value host;
  host.key = "host.name";
  host.text = host_name_;
  Otlp_Record::Value system;
  system.key = "qoragent.system_name";
  system.text = system_name_;
  if (encoding_ == Otlp_Encoding::kJson) {
    head_ = "{\"resourceLogs\":[{\"resource\":{\"attributes\":[";
    JsonKeyValue(&head_, "", host);
    head_.push_back(',');
    JsonKeyValue(&head_, "", system);
    head_ += "]},\"scopeLogs\":[{\"scope\":{\"name\":\"qoragent\",\"version\":";
    JsonAppendString(&head_, version_.data(), version_.size());
    head_ += "},\"logRecords\":[";
    tail_ = "]}]}]}";
    return;
  }
  // Resource { attributes = 1 } as ResourceLogs.resource = 1.
  std::string attrs(
      LenField(KeyValueSize(host)) + LenField(KeyValueSize(system)), '\0');
  Writer w{&attrs[0]};
  w.KeyValue(0x0A, host);
  w.KeyValue(0x0A, system);
  PutBytes(&resource_, 0x0A, attrs);
  // InstrumentationScope { name = 1, version = 2 } as ScopeLogs.scope = 1;
  // kept in head_.
  std::string scope;
  PutBytes(&scope, 0x0A, "qoragent");
  PutBytes(&scope, 0x12, version_);
  PutBytes(&head_, 0x0A, scope);
}

void Otlp_Encoder::AppendRecord(const Otlp_Record& r, bool first,
                                std::string* out) const {
  if (encoding_ == Otlp_Encoding::kJson) {
    if (!first) {
      out->push_back(',');
    }
    out->append("{");
    bool comma = false;
    if (r.time_ns != 0) {
      out->append("\"timeUnixNano\":\"" + std::to_string(r.time_ns) + "\"");
      comma = true;
    }
    if (r.observed_ns != 0) {
      out->append(comma ? ",\"observedTimeUnixNano\":\""
                        : "\"observedTimeUnixNano\":\"");
      out->append(std::to_string(r.observed_ns));
      out->append("\"");
      comma = true;
    }
    if (r.severity != 0) {
      out->append(comma ? ",\"severityNumber\":" : "\"severityNumber\":");
      out->append(std::to_string(r.severity));
      out->append(",\"severityText\":");
      JsonAppendString(out, r.severity_text.data(), r.severity_text.size());
      comma = true;
    }
    out->append(comma ? ",\"body\":{\"stringValue\":"
                      : "\"body\":{\"stringValue\":");
    JsonAppendString(out, r.body.data(), r.body.size());
    out->append("},\"attributes\":[");
    for (size_t i = 0; i < r.attributes.size(); ++i) {
      if (i > 0) {
        out->push_back(',');
      }
      JsonKeyValue(out, r.attributes[i].prefix, r.attributes[i]);
    }
    out->append("]}");
    return;
  }
  size_t size = 0;
  if (r.time_ns != 0)
    size += 9;
  if (r.observed_ns != 0)
    size += 9;
  if (r.severity != 0) {
    size += 1 + VarintSize(static_cast<uint64_t>(r.severity)) +
            LenField(r.severity_text.size());
  }
  size += LenField(LenField(r.body.size()));
  // Each attribute's size, counted once for the record's and its own.
  constexpr size_t kCounted = 64;
  uint32_t sizes[kCounted];
  for (size_t i = 0; i < r.attributes.size(); ++i) {
    const size_t n = KeyValueSize(r.attributes[i]);
    if (i < kCounted) {
      sizes[i] = static_cast<uint32_t>(n);
    }
    size += LenField(n);
  }
  const size_t at = out->size();
  out->resize(at + 1 + VarintSize(size) + size);
  Writer w{&(*out)[at]};
  w.Byte(0x12);  // ScopeLogs.log_records = 2
  w.Varint(size);
  if (r.time_ns != 0) {
    w.Byte(0x09);  // time_unix_nano = 1, fixed64
    w.Fixed64(r.time_ns);
  }
  if (r.severity != 0) {
    w.Byte(0x10);  // severity_number = 2
    w.Varint(static_cast<uint64_t>(r.severity));
    w.Bytes(0x1A, r.severity_text);  // severity_text = 3
  }
  w.Byte(0x2A);  // body = 5
  w.Varint(LenField(r.body.size()));
  w.Bytes(0x0A, r.body);  // AnyValue.string_value = 1
  for (size_t i = 0; i < r.attributes.size(); ++i) {
    const Otlp_Record::Value& v = r.attributes[i];
    // attributes = 6
    w.KeyValue(0x32, v, i < kCounted ? sizes[i] : KeyValueSize(v));
  }
  if (r.observed_ns != 0) {
    w.Byte(0x59);  // observed_time_unix_nano = 11, fixed64
    w.Fixed64(r.observed_ns);
  }
}

size_t Otlp_Encoder::Headroom() const {
  if (encoding_ == Otlp_Encoding::kJson) {
    return head_.size();
  }
  // Two tags and two lengths of at most ten bytes each.
  return 22 + resource_.size() + head_.size();
}

void Otlp_Encoder::Begin(std::string* out) const {
  out->assign(Headroom(), '\0');
}

std::string_view Otlp_Encoder::Frame(std::string* out) const {
  const size_t room = Headroom();
  if (encoding_ == Otlp_Encoding::kJson) {
    out->append(tail_);
    memcpy(&(*out)[0], head_.data(), head_.size());
    return *out;
  }
  const size_t records = out->size() - room;
  const size_t scope_logs = head_.size() + records;
  const size_t resource_logs = resource_.size() + LenField(scope_logs);
  const size_t head = LenField(resource_logs) - records;
  const size_t from = room - head;
  Writer w{&(*out)[from]};
  w.Byte(0x0A);  // ExportLogsServiceRequest.resource_logs = 1
  w.Varint(resource_logs);
  w.Text(resource_);
  w.Byte(0x12);  // ResourceLogs.scope_logs = 2
  w.Varint(scope_logs);
  w.Text(head_);
  return std::string_view(*out).substr(from);
}

namespace {

bool ReadVarint(std::string_view b, size_t* at, uint64_t* v) {
  *v = 0;
  for (int shift = 0; shift < 64 && *at < b.size(); shift += 7) {
    const unsigned char c = static_cast<unsigned char>(b[(*at)++]);
    *v |= static_cast<uint64_t>(c & 0x7F) << shift;
    if ((c & 0x80) == 0) {
      return true;
    }
  }
  return false;
}

// Walks the fields of a protobuf message, calling `field` for each
// length-delimited or varint one. False when it does not decode.
template <typename Field>
bool Fields(std::string_view b, Field field) {
  size_t at = 0;
  while (at < b.size()) {
    uint64_t tag;
    if (!ReadVarint(b, &at, &tag))
      return false;
    const int type = static_cast<int>(tag & 7);
    const uint64_t number = tag >> 3;
    uint64_t v = 0;
    if (type == 0) {
      if (!ReadVarint(b, &at, &v))
        return false;
      field(number, v, std::string_view());
    } else if (type == 2) {
      if (!ReadVarint(b, &at, &v) || v > b.size() - at)
        return false;
      field(number, 0, b.substr(at, v));
      at += v;
    } else if (type == 1) {
      at += 8;
    } else if (type == 5) {
      at += 4;
    } else {
      return false;
    }
    if (at > b.size())
      return false;
  }
  return true;
}

}  // namespace

bool ReadOtlpPartialSuccess(std::string_view body, bool json, int64_t* rejected,
                            std::string* message) {
  *rejected = 0;
  message->clear();
  if (json) {
    std::string text;
    std::vector<size_t> at;
    bool escapes = false;
    const size_t quotes = FindQuotes(body, &at, &escapes);
    Scanner sc{body, 0, true, &text, at.data(), quotes};
    sc.Ws();
    if (sc.at >= body.size()) {
      return true;  // an empty answer: all taken
    }
    if (!sc.Eat('{')) {
      return false;
    }
    if (sc.Eat('}')) {
      return true;
    }
    do {
      const std::string key(sc.String());
      if (!sc.ok || !sc.Eat(':'))
        return false;
      sc.Ws();
      if ((key == "partialSuccess" || key == "partial_success") &&
          sc.at < body.size() && body[sc.at] == '{') {
        ++sc.at;
        if (sc.Eat('}'))
          continue;
        do {
          const std::string k(sc.String());
          if (!sc.ok || !sc.Eat(':'))
            return false;
          sc.Ws();
          if (k == "rejectedLogRecords" || k == "rejected_log_records") {
            std::string_view n = sc.at < body.size() && body[sc.at] == '"'
                                     ? sc.String()
                                     : sc.Number();
            int64_t v = 0;
            if (IsInteger(n, &v))
              *rejected = v;
          } else if (k == "errorMessage" || k == "error_message") {
            message->assign(sc.String());
          } else {
            sc.Skip();
          }
        } while (sc.ok && sc.Eat(','));
        if (!sc.Eat('}'))
          return false;
      } else {
        sc.Skip();
      }
    } while (sc.ok && sc.Eat(','));
    return sc.ok && sc.Eat('}');
  }
  return Fields(body, [&](uint64_t number, uint64_t, std::string_view sub) {
    if (number != 1)
      return;  // partial_success
    Fields(sub, [&](uint64_t n, uint64_t v, std::string_view text) {
      if (n == 1)
        *rejected = static_cast<int64_t>(v);
      if (n == 2)
        message->assign(text);
    });
  });
}
