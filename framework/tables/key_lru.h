// Per-key state of one situation (event counts, throttling), kept in the
// order keys were last used so that the least recently used can be forgotten
// first, and never more than a cap of keys: making a key when the cap is
// reached forgets the least recently used one, and counts it.
//
// Compact, because a flood of distinct keys fills it to its cap: a key of up
// to 15 bytes lives in its slot (a longer one takes a heap block of its
// length), slots lie in blocks of 512 linked by 32-bit indices, and lookups
// go through an open-addressing table of slot numbers (linear probing, at
// most three quarters full, removal by backward shift, no tombstones). A key
// costs 24 + sizeof(T) bytes plus 5 to 11 of the lookup table. Everything is
// given back when the last key goes.
// Not locked: its owner holds the lock that guards it.
#ifndef QOR_FRAMEWORK_TABLES_KEY_LRU_H_
#define QOR_FRAMEWORK_TABLES_KEY_LRU_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <functional>
#include <memory>
#include <string_view>
#include <vector>

// Most keys one situation keeps unless its KEYS clause says otherwise.
constexpr size_t SITUATION_MAX_KEYS = 100000;
// Most keys a KEYS clause may ask for.
constexpr size_t SITUATION_KEYS_LIMIT = 10000000;

// A key in 16 bytes: up to 15 bytes in place, a longer one on the heap.
class Compact_Key {
 public:
  Compact_Key() { bytes_[kTag] = 0; }
  ~Compact_Key() { Clear(); }
  Compact_Key(const Compact_Key&) = delete;
  Compact_Key& operator=(const Compact_Key&) = delete;

  void Assign(std::string_view key) {
    Clear();
    if (key.size() < kTag) {
      memcpy(bytes_, key.data(), key.size());
      bytes_[kTag] = static_cast<char>(key.size());
      return;
    }
    char* heap = new char[key.size()];
    memcpy(heap, key.data(), key.size());
    const uint32_t length = static_cast<uint32_t>(key.size());
    memcpy(bytes_, &heap, sizeof heap);
    memcpy(bytes_ + sizeof heap, &length, sizeof length);
    bytes_[kTag] = kHeap;
  }
  std::string_view View() const {
    if (bytes_[kTag] != kHeap) {
      return std::string_view(bytes_, static_cast<unsigned char>(bytes_[kTag]));
    }
    const char* heap;
    uint32_t length;
    memcpy(&heap, bytes_, sizeof heap);
    memcpy(&length, bytes_ + sizeof heap, sizeof length);
    return std::string_view(heap, length);
  }
  void Clear() {
    if (bytes_[kTag] == kHeap) {
      char* heap;
      memcpy(&heap, bytes_, sizeof heap);
      delete[] heap;
    }
    bytes_[kTag] = 0;
  }

 private:
  static constexpr size_t kTag = 15;  // the length in place, or kHeap
  static constexpr char kHeap = static_cast<char>(0xFF);
  alignas(8) char bytes_[16];
};

template <typename T>
class Key_Lru {
 public:
  // `cap`: most keys kept (at least 1, at most SITUATION_KEYS_LIMIT).
  explicit Key_Lru(size_t cap = SITUATION_MAX_KEYS) { SetCap(cap); }
  Key_Lru(const Key_Lru&) = delete;
  Key_Lru& operator=(const Key_Lru&) = delete;

  // The state of `key`, its place in the order unchanged; null when the key
  // is not kept.
  T* Find(std::string_view key) {
    if (index_.empty()) {
      return nullptr;
    }
    const size_t pos = Position(key);
    return index_[pos] == 0 ? nullptr : &At(index_[pos] - 1).value;
  }
  // The state of `key`, made (value-initialised) when missing, now the most
  // recently used. Making one when the cap is reached first forgets the
  // least recently used key (see Evicted).
  T& Touch(std::string_view key) {
    if (!index_.empty()) {
      const size_t pos = Position(key);
      if (index_[pos] != 0) {
        const uint32_t i = index_[pos] - 1;
        Unlink(i);
        Append(i);
        return At(i).value;
      }
    }
    if (size_ >= cap_) {
      DropOldest();
      ++evicted_;
    }
    if ((size_ + 1) * 4 > index_.size() * 3) {
      Rehash(index_.empty() ? 16 : index_.size() * 2);
    }
    const uint32_t i = NewSlot();
    Slot& s = At(i);
    s.key.Assign(key);
    index_[Position(key)] = i + 1;
    Append(i);
    ++size_;
    return s.value;
  }
  // The least recently used state and its key (valid until the key goes);
  // null when there is none.
  T* Oldest(std::string_view* key) {
    if (oldest_ == kNone) {
      return nullptr;
    }
    Slot& s = At(oldest_);
    *key = s.key.View();
    return &s.value;
  }
  // Forgets the least recently used key (not counted in Evicted).
  void DropOldest() {
    if (oldest_ != kNone) {
      Remove(oldest_);
    }
  }
  // Forgets `key` (not counted in Evicted): false when it is not kept.
  bool Erase(std::string_view key) {
    if (index_.empty() || index_[Position(key)] == 0) {
      return false;
    }
    Remove(index_[Position(key)] - 1);
    return true;
  }
  // Calls f(key, state) for every key, the least recently used first. `f`
  // must not add or forget keys.
  template <typename F>
  void ForEach(F f) {
    for (uint32_t i = oldest_; i != kNone; i = At(i).newer) {
      f(At(i).key.View(), At(i).value);
    }
  }
  size_t size() const { return size_; }
  size_t Cap() const { return cap_; }
  // Sets the cap; keys past it are forgotten, the least recently used first,
  // and counted.
  void SetCap(size_t cap) {
    cap_ =
        cap < 1 ? 1 : (cap > SITUATION_KEYS_LIMIT ? SITUATION_KEYS_LIMIT : cap);
    while (size_ > cap_) {
      DropOldest();
      ++evicted_;
    }
  }
  // Keys forgotten to keep to the cap, since the table was made.
  uint64_t Evicted() const { return evicted_; }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint32_t kBlockShift = 9;
  static constexpr uint32_t kBlockSlots = 1u << kBlockShift;

  struct Slot {
    Compact_Key key;
    uint32_t older = kNone;  // free slot: the next free one
    uint32_t newer = kNone;
    T value{};
  };

  Slot& At(uint32_t i) {
    return blocks_[i >> kBlockShift][i & (kBlockSlots - 1)];
  }

  size_t Home(std::string_view key) const {
    const uint64_t h =
        std::hash<std::string_view>()(key) * UINT64_C(0x9E3779B97F4A7C15);
    return static_cast<size_t>(h >> shift_);
  }
  // Where `key` is in the index, or the empty place where it would go.
  // REQUIRES: the index is not empty.
  size_t Position(std::string_view key) {
    const size_t mask = index_.size() - 1;
    size_t pos = Home(key);
    while (index_[pos] != 0 && At(index_[pos] - 1).key.View() != key) {
      pos = (pos + 1) & mask;
    }
    return pos;
  }
  void Rehash(size_t places) {
    index_.assign(places, 0);
    shift_ = 64;
    for (size_t n = places; n > 1; n >>= 1) {
      --shift_;
    }
    for (uint32_t i = oldest_; i != kNone; i = At(i).newer) {
      index_[Position(At(i).key.View())] = i + 1;
    }
  }
  uint32_t NewSlot() {
    if (free_ != kNone) {
      const uint32_t i = free_;
      free_ = At(i).older;
      return i;
    }
    if (used_ == blocks_.size() * kBlockSlots) {
      blocks_.emplace_back(new Slot[kBlockSlots]);
    }
    return used_++;
  }
  void Append(uint32_t i) {
    Slot& s = At(i);
    s.older = newest_;
    s.newer = kNone;
    if (newest_ != kNone) {
      At(newest_).newer = i;
    } else {
      oldest_ = i;
    }
    newest_ = i;
  }
  void Unlink(uint32_t i) {
    Slot& s = At(i);
    (s.older != kNone ? At(s.older).newer : oldest_) = s.newer;
    (s.newer != kNone ? At(s.newer).older : newest_) = s.older;
  }
  void Remove(uint32_t i) {
    const size_t mask = index_.size() - 1;
    size_t hole = Position(At(i).key.View());
    index_[hole] = 0;
    // Entries after the hole that may not be found across it move back.
    for (size_t pos = (hole + 1) & mask; index_[pos] != 0;
         pos = (pos + 1) & mask) {
      const size_t home = Home(At(index_[pos] - 1).key.View());
      if (((pos - home) & mask) >= ((pos - hole) & mask)) {
        index_[hole] = index_[pos];
        index_[pos] = 0;
        hole = pos;
      }
    }
    Unlink(i);
    Slot& s = At(i);
    s.key.Clear();
    s.value = T{};
    s.older = free_;
    free_ = i;
    if (--size_ == 0) {
      blocks_.clear();
      std::vector<uint32_t>().swap(index_);
      used_ = 0;
      free_ = oldest_ = newest_ = kNone;
    }
  }

  std::vector<std::unique_ptr<Slot[]>> blocks_;
  std::vector<uint32_t> index_;  // slot + 1; 0: empty place
  unsigned shift_ = 64;          // Home's hash bits: log2 of the index's size
  uint32_t used_ = 0;            // slots ever handed out of blocks_
  uint32_t free_ = kNone;        // free slots, linked through `older`
  uint32_t oldest_ = kNone;
  uint32_t newest_ = kNone;
  size_t size_ = 0;
  size_t cap_ = SITUATION_MAX_KEYS;
  uint64_t evicted_ = 0;
};

#endif  // QOR_FRAMEWORK_TABLES_KEY_LRU_H_
