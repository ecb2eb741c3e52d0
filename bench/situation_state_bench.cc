// What the per-key memory of a situation costs: heap bytes per open pair
// (with a syslog line of about 90 bytes as its first entry), per awaited key
// and per firing alert, the process's RSS with 1,000,000 open pairs, and the
// time of a first and a second row.
// Usage: situation_state_bench [KEYS]   (default 1000000)
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "framework/situations/situation_state.h"

namespace {

size_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

long RssKb() {
  FILE* f = fopen("/proc/self/status", "re");
  long kb = -1;
  char line[256];
  while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, "VmRSS:", 6) == 0) {
      kb = atol(line + 6);
    }
  }
  if (f != nullptr) {
    fclose(f);
  }
  return kb;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  const size_t keys = argc > 1 ? strtoul(argv[1], nullptr, 10) : 1000000;
  const int64_t t0 = 1700000000;
  std::vector<std::string> names;
  names.reserve(keys);
  for (size_t i = 0; i < keys; ++i) {
    names.push_back("user" + std::to_string(i));
  }
  std::vector<State_Event> out;
  {
    State_Settings s;
    s.then = s.without = true;
    s.within = 60;
    s.max_keys = keys;
    const long rss0 = RssKb();
    const size_t heap0 = HeapInUse();
    Situation_State state(s);
    char line[128];
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < keys; ++i) {
      const int n = snprintf(
          line, sizeof line,
          "Dec  9 17:49:42 host1 sshd[4242]: session opened for user %s by (uid=0)",
          names[i].c_str());
      state.First(names[i], t0, std::string_view(line, static_cast<size_t>(n)),
                  t0 * 1000, &out);
    }
    const double first_s = Seconds(start);
    const size_t heap1 = HeapInUse();
    printf(
        "open pairs: %zu, %.1f heap bytes each (first entry of ~75 bytes), RSS %ld -> %ld KiB, %.0f ns per first row\n",
        state.OpenPairs(),
        static_cast<double>(heap1 - heap0) / static_cast<double>(keys), rss0,
        RssKb(), first_s * 1e9 / static_cast<double>(keys));
    const auto closing = std::chrono::steady_clock::now();
    for (size_t i = 0; i < keys; ++i) {
      state.Second(names[i], t0 + 1, t0 * 1000 + 1000, &out);
    }
    printf("then events: %zu, %.0f ns per second row\n", out.size(),
           Seconds(closing) * 1e9 / static_cast<double>(keys));
    out.clear();
  }
  {
    State_Settings s;
    s.absent = 600;
    s.max_keys = keys;
    const size_t heap0 = HeapInUse();
    Situation_State state(s);
    for (size_t i = 0; i < keys; ++i) {
      state.Seen(names[i], t0, t0 * 1000, &out);
    }
    printf(
        "awaited keys: %zu, %.1f heap bytes each\n", state.Awaited(),
        static_cast<double>(HeapInUse() - heap0) / static_cast<double>(keys));
  }
  {
    State_Settings s;
    s.clear_max = 2;
    s.clear_within = 300;
    s.max_keys = keys;
    const size_t heap0 = HeapInUse();
    Situation_State state(s);
    int64_t since = 0;
    for (size_t i = 0; i < keys; ++i) {
      state.Counted(names[i], t0, true, 5, t0 * 1000, &since);
    }
    printf(
        "firing alerts: %zu, %.1f heap bytes each\n", state.Firing(),
        static_cast<double>(HeapInUse() - heap0) / static_cast<double>(keys));
  }
  return 0;
}
