// Rows as JSON: fields escaped and written by the request object's column
// info.
#include "framework/tables/row_json.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <charconv>

#include "framework/events/event_output.h"
#include "framework/tables/request.h"

namespace {

// Length of the valid UTF-8 sequence at p (at most n bytes), or 0.
size_t Utf8Length(const unsigned char* p, size_t n) {
  const unsigned char c = p[0];
  size_t len;
  uint32_t cp;
  if (c < 0x80) {
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (len > n) {
    return 0;
  }
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) {
      return 0;
    }
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not valid.
  static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

}  // namespace

bool ValidUtf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8Length(p + i, text.size() - i);
    if (n == 0) {
      return false;
    }
    i += n;
  }
  return true;
}

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// Whether any of the eight bytes in `x` needs more than a copy: a control
// character, DEL or a byte past ASCII, '"' or '\\'. It may say yes for a
// word that needs none (the bytes are then looked at one by one), never no
// for one that does.
bool WordNeedsEscape(uint64_t x) {
  const uint64_t below_space = (x - kOnes * 0x20) & ~x;
  const uint64_t del_or_high = (x + kOnes * 0x01) | x;
  const uint64_t q = x ^ (kOnes * '"');
  const uint64_t b = x ^ (kOnes * '\\');
  const uint64_t quote = (q - kOnes) & ~q;
  const uint64_t backslash = (b - kOnes) & ~b;
  return ((below_space | del_or_high | quote | backslash) & kHighs) != 0;
}

bool ByteNeedsEscape(unsigned char c) {
  return c < 0x20 || c >= 0x7F || c == '"' || c == '\\';
}

#if defined(__SSE2__)
// One bit for each of the 16 bytes at `p` that ByteNeedsEscape: exactly
// those (as signed bytes, those past ASCII are below 0x20 too).
int EscapeBits(__m128i x) {
  const __m128i odd = _mm_or_si128(
      _mm_cmplt_epi8(x, _mm_set1_epi8(0x20)),
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(0x7F)),
                   _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')),
                                _mm_cmpeq_epi8(x, _mm_set1_epi8('\\')))));
  return _mm_movemask_epi8(odd);
}

int EscapeMask(const unsigned char* p) {
  return EscapeBits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// The longest field WriteWholeField takes.
constexpr size_t WHOLEFIELDBYTES = 64;

// A text field of 16, 32, 48 or 64 bytes as a JSON string, when no byte of
// its text needs an escape: its padding and such bytes are found 16 bytes
// at a time and it is copied whole, with no step per byte. Null when a byte
// needs an escape (what was written is then of no use). Writes `width` + 2
// bytes.
char* WriteWholeField(char* out, const char* field, size_t width) {
  uint64_t text = 0;
  uint64_t odd = 0;
  for (size_t k = 0; k < width / 16; ++k) {
    const __m128i x =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(field + 16 * k));
    text |= static_cast<uint64_t>(TextBits(x)) << (16 * k);
    odd |= static_cast<uint64_t>(static_cast<unsigned>(EscapeBits(x)))
           << (16 * k);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1 + 16 * k), x);
  }
  const size_t length =
      text != 0 ? 64 - static_cast<size_t>(__builtin_clzll(text)) : 0;
  if (length < 64 ? (odd & ((UINT64_C(1) << length) - 1)) != 0 : odd != 0) {
    return nullptr;
  }
  out[0] = '"';
  out[1 + length] = '"';
  return out + length + 2;
}
#endif

// JsonWriteString without the quotes.
char* WriteEscaped(char* out, const char* text, size_t length) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < length) {
    // A run of printable ASCII that needs no escape is copied as it is
    // looked at, 16 bytes at a time and then a word at a time.
#if defined(__SSE2__)
    while (i + 16 <= length) {
      const int odd = EscapeMask(p + i);
      // Copied whole even when a byte needs an escape: what follows it is
      // written over.
      memcpy(out, p + i, 16);
      if (odd != 0) {
        const int plain = __builtin_ctz(static_cast<unsigned>(odd));
        out += plain;
        i += static_cast<size_t>(plain);
        break;
      }
      out += 16;
      i += 16;
    }
    if (i < length && length >= 16 && length - i < 16) {
      // The last bytes, as the last word below.
      if (EscapeMask(p + length - 16) == 0) {
        memcpy(out - (16 - (length - i)), p + length - 16, 16);
        out += length - i;
        break;
      }
    }
#endif
    while (i + 8 <= length) {
      uint64_t word;
      memcpy(&word, p + i, sizeof word);
      if (WordNeedsEscape(word)) {
        break;
      }
      memcpy(out, &word, sizeof word);
      out += 8;
      i += 8;
    }
    if (i < length && length >= 8 && length - i < 8) {
      // The last few bytes: when the last word needs no escape, the bytes
      // of it already written went out as they are, and it is written
      // again over them.
      uint64_t word;
      memcpy(&word, p + length - 8, sizeof word);
      if (!WordNeedsEscape(word)) {
        memcpy(out - (8 - (length - i)), &word, sizeof word);
        out += length - i;
        break;
      }
    }
    while (i < length && !ByteNeedsEscape(p[i])) {
      *out++ = static_cast<char>(p[i++]);
    }
    if (i == length) {
      break;
    }
    const unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      *out++ = '\\';
      *out++ = static_cast<char>(c);
      ++i;
    } else if (c == '\n' || c == '\t' || c == '\r') {
      *out++ = '\\';
      *out++ = c == '\n' ? 'n' : (c == '\t' ? 't' : 'r');
      ++i;
    } else {
      const size_t n =
          c < 0x20 || c == 0x7F ? 0 : Utf8Length(p + i, length - i);
      if (n == 0) {
        static const char kHex[] = "0123456789abcdef";
        memcpy(out, "\\u00", 4);
        out[4] = kHex[c >> 4];
        out[5] = kHex[c & 0xF];
        out += 6;
        ++i;
      } else {
        memcpy(out, text + i, n);
        out += n;
        i += n;
      }
    }
  }
  return out;
}

}  // namespace

char* JsonWriteString(char* out, const char* text, size_t length) {
  return JsonWriteField(out, text, length, length);
}

char* JsonWriteField(char* out, const char* text, size_t length,
                     size_t readable) {
  *out++ = '"';
  size_t i = 0;
#if defined(__SSE2__)
  // The text is read 16 bytes at a time as far as `readable` allows, the
  // bytes past it left out: most texts of a row are shorter than 16 bytes
  // and go out in one step.
  const auto* const bytes = reinterpret_cast<const unsigned char*>(text);
  bool plain = true;  // no byte so far needs an escape
  // Whole pieces of the text first, each written whole even when a byte of
  // it needs an escape (what follows that byte is written over).
  while (i + 16 <= length) {
    const int odd = EscapeMask(bytes + i);
    memcpy(out, text + i, 16);
    if (odd != 0) {
      const unsigned copied =
          static_cast<unsigned>(__builtin_ctz(static_cast<unsigned>(odd)));
      out += copied;
      i += copied;
      plain = false;
      break;
    }
    out += 16;
    i += 16;
  }
  if (plain && i < length) {
    const size_t rest = length - i;
    if (i + 16 <= readable) {
      // The rest of the text and bytes past it, which are left out.
      const unsigned odd =
          static_cast<unsigned>(EscapeMask(bytes + i)) & ((1u << rest) - 1);
      memcpy(out, text + i, 16);
      if (odd == 0) {
        out += rest;
        *out++ = '"';
        return out;
      }
      const unsigned copied = static_cast<unsigned>(__builtin_ctz(odd));
      out += copied;
      i += copied;
    } else if (length >= 16) {
      // The last bytes of a text that ends where its field does, as the
      // last 16 bytes of it: those before them were all copied as they
      // are, so that the piece needs an escape only where they do, and
      // they are written again over what went out.
      if (EscapeMask(bytes + length - 16) == 0) {
        memcpy(out - (16 - rest), text + length - 16, 16);
        out += rest;
        *out++ = '"';
        return out;
      }
    }
  }
#endif
  out = WriteEscaped(out, text + i, length - i);
  *out++ = '"';
  return out;
}

void JsonAppendString(std::string* out, const char* text, size_t length) {
  const size_t used = out->size();
  out->resize(used + JsonStringBound(length));
  char* const end = JsonWriteString(&(*out)[used], text, length);
  out->resize(static_cast<size_t>(end - out->data()));
}

namespace {

// Calls `each(info, upper_case_name)` for every described column of `v`.
template <typename F>
void ForEachColumn(vandu& v, F each) {
  const int n = v.NumColumns();
  std::string name;
  for (int i = 0; i < n; ++i) {
    ColumnInfo info{};
    if (v.GetColumnInfo(&info, i) != 0 || info.AttributeName == nullptr) {
      continue;
    }
    // Column names are plain ASCII identifiers: upper-cased as they are
    // copied, with nothing to escape.
    name.clear();
    for (const char* c = info.AttributeName; *c != '\0'; ++c) {
      name.push_back(*c >= 'a' && *c <= 'z' ? static_cast<char>(*c - 'a' + 'A')
                                            : *c);
    }
    each(info, name);
  }
}

// An integer column's value in decimal, or false for a text column.
bool IntegerText(const ColumnInfo& info, const char* field, std::string* out) {
  char digits[16];
  if (info.Type == COLUMN_INT32) {
    int32_t x;
    memcpy(&x, field, sizeof x);
    out->append(digits, std::to_chars(digits, digits + sizeof digits, x).ptr);
    return true;
  }
  if (info.Type == COLUMN_UINT32) {
    uint32_t x;
    memcpy(&x, field, sizeof x);
    out->append(digits, std::to_chars(digits, digits + sizeof digits, x).ptr);
    return true;
  }
  return false;
}

}  // namespace

namespace {
// A text column that differs this many rows running is written without
// comparing for the next kSkipRows rows.
constexpr unsigned kMissesToSkip = 4;
constexpr unsigned kSkipRows = 64;
// Fields and texts up to this long are compared and copied in place, with
// no call.
constexpr size_t kInlineBytes = 64;

// Whether the `width` bytes at `a` and `b` are the same.
bool SameField(const char* a, const char* b, size_t width) {
#if defined(__SSE2__)
  if (width % 16 == 0 && width <= kInlineBytes) {
    __m128i diff = _mm_setzero_si128();
    for (size_t k = 0; k < width; k += 16) {
      diff = _mm_or_si128(
          diff, _mm_xor_si128(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k)),
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k))));
    }
    return _mm_movemask_epi8(_mm_cmpeq_epi8(diff, _mm_setzero_si128())) ==
           0xFFFF;
  }
#endif
  return memcmp(a, b, width) == 0;
}

// Whether the `n` bytes at `a` and `b` are the same: short ones compared in
// place, with no call.
bool SameBytes(const char* a, const char* b, size_t n) {
#if defined(__SSE2__)
  if (n >= 16 && n <= kInlineBytes) {
    const auto at = [](const char* x, size_t k) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + k));
    };
    __m128i diff = _mm_setzero_si128();
    size_t k = 0;
    for (; k + 16 <= n; k += 16) {
      diff = _mm_or_si128(diff, _mm_xor_si128(at(a, k), at(b, k)));
    }
    if (k < n) {
      // The last 16 bytes, over some already compared.
      diff = _mm_or_si128(diff, _mm_xor_si128(at(a, n - 16), at(b, n - 16)));
    }
    return _mm_movemask_epi8(_mm_cmpeq_epi8(diff, _mm_setzero_si128())) ==
           0xFFFF;
  }
#endif
  if (n >= 8 && n <= 16) {
    uint64_t x[2], y[2];
    memcpy(&x[0], a, 8);
    memcpy(&x[1], a + n - 8, 8);
    memcpy(&y[0], b, 8);
    memcpy(&y[1], b + n - 8, 8);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
  }
  if (n == 4) {
    uint32_t x, y;
    memcpy(&x, a, 4);
    memcpy(&y, b, 4);
    return x == y;
  }
  return memcmp(a, b, n) == 0;
}

// Copies `n` bytes from `from` to `to`, both with room for kInlineBytes:
// a short piece is copied whole, with no call.
void CopyPiece(char* to, const char* from, size_t n) {
  if (n <= kInlineBytes) {
    memcpy(to, from, kInlineBytes);
  } else {
    memcpy(to, from, n);
  }
}

}  // namespace

Row_Json_Writer::Row_Json_Writer(vandu& v, bool sample_rows)
    : sample_(sample_rows ? &v : nullptr) {
  size_t bound = 2;
  ForEachColumn(v, [&](const ColumnInfo& info, const std::string& name) {
    Column c;
    c.key.reserve(name.size() + 4);
    c.key.push_back(columns_.empty() ? '{' : ',');
    c.key.push_back('"');
    c.key += name;
    c.key.append("\":");
    if (c.key.size() <= Column::SHORTKEY) {
      memcpy(c.short_key, c.key.data(), c.key.size());
    }
    c.info = info;
    c.kind = info.Type == COLUMN_INT32    ? Column::INT32
             : info.Type == COLUMN_UINT32 ? Column::UINT32
                                          : Column::TEXT;
    c.width = info.Width > 0 ? static_cast<size_t>(info.Width) : 0;
    bound +=
        Column::SHORTKEY + c.key.size() +
        JsonStringBound(info.Width > 0 ? static_cast<size_t>(info.Width) : 0) +
        16;
    columns_.push_back(std::move(c));
    if (name == "ENTRYTIME" && info.Type == COLUMN_TEXT) {
      entry_time_ = info;
    }
  });
  // A short text copied whole may write past its column's end.
  text_[0].resize(bound + kInlineBytes);
  text_[1].resize(bound + kInlineBytes);
  size_t row_bytes = 0;
  for (size_t i = 0; i < columns_.size(); ++i) {
    Column& c = columns_[i];
    c.size = c.kind != Column::TEXT ? sizeof(uint32_t) : c.width;
    const size_t end = static_cast<size_t>(c.info.Offset) + c.size;
    row_bytes = end > row_bytes ? end : row_bytes;
    c.joins_next = i + 1 < columns_.size() &&
                   static_cast<size_t>(columns_[i + 1].info.Offset) == end;
  }
  last_row_.resize(row_bytes);
  JoinRuns();
}

std::string Row_Json_Writer::EntryTime(const char* row) {
  std::string out;
  EntryTime(row, &out);
  return out;
}

void Row_Json_Writer::EntryTime(const char* row, std::string* out) {
  if (entry_time_.Width <= 0) {
    out->clear();
    return;
  }
  const char* const stamp = row + entry_time_.Offset;
  const size_t width = static_cast<size_t>(entry_time_.Width);
  // The same field in the same zone comes to the same text (what
  // StampToRfc3339 itself relies on for the second it keeps): only a field
  // that fits the memo is kept.
  Time_Memo& m = time_memo_;
  if (width > sizeof m.stamp) {
    StampToRfc3339(stamp, width, out);
    return;
  }
  if (m.valid && SameBytes(m.stamp, stamp, width) &&
      m.zone_standard == tzname[0] && m.zone_summer == tzname[1] &&
      m.zone_west == timezone) {
    // The caller's text mostly holds it already (one record serves every
    // event of a request).
    if (out->size() != m.text.size() ||
        !SameBytes(out->data(), m.text.data(), m.text.size())) {
      *out = m.text;
    }
    return;
  }
  StampToRfc3339(stamp, width, out);
  // Read after the conversion, which may have set the zone up.
  m.valid = true;
  memcpy(m.stamp, stamp, width);
  m.zone_standard = tzname[0];
  m.zone_summer = tzname[1];
  m.zone_west = timezone;
  m.text = *out;
}

void Row_Json_Writer::FindConstantColumns() {
  for (Column& c : columns_) {
    // The key is the separator, the quoted name and a colon.
    const std::string name = c.key.substr(2, c.key.size() - 4);
    c.constant = sample_->SampleConstantColumn(name.c_str());
    constants_ = constants_ || c.constant;
  }
  sample_ = nullptr;
}

// Inlined into the one loop of WriteColumns: a row's columns cost no call
// each.
[[gnu::always_inline]] inline char* Row_Json_Writer::WriteColumn(
    Column& c, const char* row, char* p) {
  const char* const field = row + c.info.Offset;
  if (c.kind != Column::TEXT) {
    uint32_t bits;
    memcpy(&bits, field, sizeof bits);
    if (c.int_seen && bits == c.seen_int) {
      // The room of an integer column (its key, the bound of a 4-byte text
      // and more) holds int_json whole.
      memcpy(p, c.int_json, sizeof c.int_json);
      return p + c.int_json_size;
    }
    char* const end = WriteField(c, row, p);
    if (c.key.size() <= Column::SHORTKEY) {
      c.int_seen = true;
      c.seen_int = bits;
      c.int_json_size = static_cast<unsigned char>(end - p);
      memcpy(c.int_json, p, sizeof c.int_json);
    }
    return end;
  }
  const size_t width = c.width;
  if (width == 0) {
    return WriteField(c, row, p);
  }
  if (c.skip > 0) {
    --c.skip;
    return WriteField(c, row, p);
  }
  if (c.seen.size() == width && SameField(c.seen.data(), field, width)) {
    c.misses = 0;
    // The column's room (its key and the bound of its value) holds
    // kInlineBytes: a short text is copied whole.
    if (c.seen_json.size() <= kInlineBytes) {
      memcpy(p, c.seen_json.data(), kInlineBytes);
    } else {
      memcpy(p, c.seen_json.data(), c.seen_json.size());
    }
    return p + c.seen_json.size();
  }
  char* const end = WriteField(c, row, p);
  if (++c.misses >= kMissesToSkip) {
    c.misses = 0;
    c.skip = kSkipRows;
    c.seen.clear();
  } else {
    c.seen.assign(field, width);
    c.seen_json.assign(p, end);
    // Room to be copied whole from.
    c.seen_json.reserve(kInlineBytes);
  }
  return end;
}

[[gnu::always_inline]] inline char* Row_Json_Writer::WriteField(const Column& c,
                                                                const char* row,
                                                                char* p) {
  if (c.key.size() <= Column::SHORTKEY) {
    memcpy(p, c.short_key, Column::SHORTKEY);
  } else {
    memcpy(p, c.key.data(), c.key.size());
  }
  p += c.key.size();
  const char* field = row + c.info.Offset;
  if (c.kind == Column::INT32) {
    int32_t x;
    memcpy(&x, field, sizeof x);
    return std::to_chars(p, p + 16, x).ptr;
  }
  if (c.kind == Column::UINT32) {
    uint32_t x;
    memcpy(&x, field, sizeof x);
    return std::to_chars(p, p + 16, x).ptr;
  }
  const size_t width = c.width;
#if defined(__SSE2__)
  if (width % 16 == 0 && width <= WHOLEFIELDBYTES) {
    if (char* const end = WriteWholeField(p, field, width)) {
      return end;
    }
  }
#endif
  return JsonWriteField(
      p, field, static_cast<size_t>(UnpaddedLength(field, c.info.Width)),
      width);
}

char* Row_Json_Writer::WriteColumns(const char* row, char* p) {
  for (const Step& s : plan_) {
    if (s.column >= 0) {
      p = WriteColumn(columns_[static_cast<size_t>(s.column)], row, p);
    } else {
      memcpy(p, s.kept.data(), s.kept.size());
      p += s.kept.size();
    }
  }
  return p;
}

[[gnu::always_inline]] inline char* Row_Json_Writer::WriteOverLast(
    Column& c, const char* row, char* p, const char* last, size_t last_length) {
  const char* const field = row + c.info.Offset;
  char* const kept = last_row_.data() + c.info.Offset;
  if (c.valid && c.skip == 0) {
    if (SameBytes(field, kept, c.size)) {
      c.hit = true;
      c.misses = 0;
      CopyPiece(p, last, last_length);
      return p + last_length;
    }
    c.hit = false;
    char* const end = WriteField(c, row, p);
    if (++c.misses >= kMissesToSkip) {
      // Changes row after row: written without comparing for a while.
      c.misses = 0;
      c.skip = kSkipRows;
      c.valid = false;
    } else {
      memcpy(kept, field, c.size);
    }
    return end;
  }
  c.hit = false;
  char* const end = WriteField(c, row, p);
  if (c.skip > 0 && --c.skip > 0) {
    return end;
  }
  // The first row, or the last of those written without comparing: kept
  // to compare the next one with.
  memcpy(kept, field, c.size);
  c.valid = true;
  return end;
}

void Row_Json_Writer::JoinRuns() {
  // Where each column's text lies in the last row's, as the runs were.
  std::vector<uint32_t> at(columns_.size() + 1, 0);
  for (const Run& r : runs_) {
    for (uint32_t k = r.first; k < r.end; ++k) {
      at[k] = r.at + columns_[k].rel;
    }
    at[r.end] = r.at + r.length;
  }
  runs_.clear();
  const uint32_t n = static_cast<uint32_t>(columns_.size());
  for (uint32_t i = 0; i < n;) {
    uint32_t j = i + 1;
    while (j < n && columns_[i].hit && columns_[j].hit &&
           columns_[j - 1].joins_next) {
      ++j;
    }
    const Column& last = columns_[j - 1];
    Run r;
    r.first = i;
    r.end = j;
    r.from = static_cast<uint32_t>(columns_[i].info.Offset);
    r.bytes = static_cast<uint32_t>(last.info.Offset + last.size) - r.from;
    r.at = at[i];
    r.length = at[j] - at[i];
    for (uint32_t k = i; k < j; ++k) {
      columns_[k].rel = at[k] - at[i];
    }
    runs_.push_back(r);
    i = j;
  }
  rejoin_ = false;
}

char* Row_Json_Writer::WriteOverLastRow(const char* row, char* const p0) {
  // A column's text is a function of its field alone: where the field is
  // the same as in the last row, so is the text, kept in the last row's
  // text. Columns that were the same in the last row and follow each other
  // in the row are compared, and their text copied, in one piece.
  if (rejoin_) {
    JoinRuns();
  }
  const char* const last = text_[1 - now_].data();
  char* p = p0;
  for (Run& r : runs_) {
    const uint32_t at = static_cast<uint32_t>(p - p0);
    if (r.end - r.first > 1 &&
        SameBytes(row + r.from, last_row_.data() + r.from, r.bytes)) {
      CopyPiece(p, last + r.at, r.length);
      p += r.length;
    } else {
      const char* const text = last + r.at;
      for (uint32_t k = r.first; k < r.end; ++k) {
        Column& c = columns_[k];
        const uint32_t next = k + 1 < r.end ? columns_[k + 1].rel : r.length;
        const bool hit = c.hit;
        const uint32_t rel = static_cast<uint32_t>(p - p0) - at;
        p = WriteOverLast(c, row, p, text + c.rel, next - c.rel);
        c.rel = rel;
        rejoin_ = rejoin_ || c.hit != hit;
      }
      r.length = static_cast<uint32_t>(p - p0) - at;
    }
    r.at = at;
  }
  return p;
}

namespace {
thread_local const Row_Side_Text* t_side_text = nullptr;
}  // namespace

Row_Side_Text::Row_Side_Text(const char* first, size_t size, size_t count,
                             const Text* texts)
    : first_(first),
      size_(size),
      count_(count),
      texts_(texts),
      outer_(t_side_text) {
  t_side_text = this;
}

Row_Side_Text::~Row_Side_Text() {
  t_side_text = outer_;
}

const Row_Side_Text::Text* Row_Side_Text::Find(const char* row) {
  const Row_Side_Text* const s = t_side_text;
  if (s == nullptr || s->count_ == 0 || s->size_ == 0) {
    return nullptr;
  }
  if (row >= s->first_ && row < s->first_ + s->count_ * s->size_) {
    const size_t i = static_cast<size_t>(row - s->first_) / s->size_;
    return s->texts_[i].data != nullptr ? &s->texts_[i] : nullptr;
  }
  return s->count_ == 1 && s->texts_[0].data != nullptr ? &s->texts_[0]
                                                        : nullptr;
}

void Row_Json_Writer::Append(const char* row, std::string* out,
                             const Row_Side_Text::Text* entry) {
  if (sample_ != nullptr) {
    FindConstantColumns();
  }
  // The row is written into room sized once for the longest row the columns
  // allow, then appended in one piece.
  std::vector<char>& text = text_[now_];
  char* p = text.data();
  if (columns_.empty()) {
    *p++ = '{';
  }
  if (!constants_) {
    p = WriteOverLastRow(row, p);
    now_ = 1 - now_;
  } else if (!plan_.empty()) {
    p = WriteColumns(row, p);
  } else {
    // The first row: what the constant columns came to is kept in runs for
    // the rows after it.
    std::vector<Step> plan;
    for (size_t i = 0; i < columns_.size(); ++i) {
      char* const start = p;
      p = WriteField(columns_[i], row, p);
      if (!columns_[i].constant) {
        plan.push_back({static_cast<int>(i), {}});
        continue;
      }
      if (plan.empty() || plan.back().column >= 0) {
        plan.push_back({-1, {}});
      }
      plan.back().kept.append(start, p);
    }
    plan_ = std::move(plan);
  }
  if (entry != nullptr) {
    // The entry follows in the same room, grown when it is long.
    const size_t used = static_cast<size_t>(p - text.data());
    const size_t need = used + 16 + JsonStringBound(entry->length) + 16;
    if (text.size() < need) {
      text.resize(need);
      p = text.data() + used;
    }
    static constexpr char kFirst[] = "\"entry\":";
    static constexpr char kNext[] = ",\"entry\":";
    if (columns_.empty()) {
      memcpy(p, kFirst, sizeof kFirst - 1);
      p += sizeof kFirst - 1;
    } else {
      memcpy(p, kNext, sizeof kNext - 1);
      p += sizeof kNext - 1;
    }
    p = JsonWriteString(p, entry->data, entry->length);
    if (entry->cut) {
      static constexpr char kCut[] = ",\"cut\":true";
      memcpy(p, kCut, sizeof kCut - 1);
      p += sizeof kCut - 1;
    }
  }
  *p++ = '}';
  out->append(text.data(), static_cast<size_t>(p - text.data()));
}

std::string RowToJson(vandu& v, const char* row) {
  std::string out;
  Row_Json_Writer(v).Append(row, &out);
  return out;
}

std::string RowToEnvironment(vandu& v, const char* row) {
  std::string env;
  env.reserve(1024);
  ForEachColumn(v, [&](const ColumnInfo& info, const std::string& name) {
    env.append("QOR_").append(name).push_back('=');
    const char* field = row + info.Offset;
    if (!IntegerText(info, field, &env)) {
      size_t len = strnlen(field, info.Width);
      while (len > 0 && field[len - 1] == ' ') {
        --len;
      }
      env.append(field, len);
    }
    env.push_back('\0');
  });
  return env;
}

std::string RowEntryTime(vandu& v, const char* row) {
  return Row_Json_Writer(v).EntryTime(row);
}
