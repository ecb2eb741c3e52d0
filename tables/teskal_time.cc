// Time stamps: the 16-character local-time text of the rows' time columns.
#include "tables/teskal_time.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "framework/runtime/trace.h"
#include "util/errno_text.h"
#include "util/time_stamp.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

void GenerateTimestamp(time_t time, char* destination) {
  WEX1_Event ev(wex1, __func__);
  // Log threads stamp every row with the current time: within one second
  // the stamp is the same, so each thread keeps the last one it made.
  thread_local time_t cached_time = -1;
  thread_local char cached[TIMESTAMPLENGTH];
  if (time == cached_time) {
    memcpy(destination, cached, TIMESTAMPLENGTH);
    return;
  }
  if (!FormatTimeStamp(time, destination)) {
    const int err = errno;
    char errbuf[128];
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nTime %lld has no time stamp form. errno = %d; %s",
               static_cast<long long>(time), err,
               ErrnoText(err, errbuf, sizeof errbuf));
    return;
  }
  memcpy(cached, destination, TIMESTAMPLENGTH);
  cached_time = time;
}

int CompareTimestamp(const char* a, const char* b) {
#if defined(__SSE2__)
  static_assert(TIMESTAMPLENGTH == 16, "a time stamp is one 16-byte piece");
  // The first place where the two differ or `a` has a NUL ends the
  // comparison, as in strncmp.
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
  const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
  const unsigned same =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
  const unsigned nul = static_cast<unsigned>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_setzero_si128())));
  const unsigned stop = (~same | nul) & 0xFFFFu;
  if (stop == 0) {
    return 0;
  }
  const int at = __builtin_ctz(stop);
  const auto c = static_cast<unsigned char>(a[at]);
  const auto d = static_cast<unsigned char>(b[at]);
  return c < d ? -1 : (c > d ? 1 : 0);
#else
  const int cmp = strncmp(a, b, TIMESTAMPLENGTH);
  return cmp < 0 ? -1 : (cmp > 0 ? 1 : 0);
#endif
}
