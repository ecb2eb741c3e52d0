// Per-key state of one situation (event counts, throttling), kept in the
// order keys were last used so that the least recently used can be forgotten
// first. Not locked: its owner holds the lock that guards it.
#ifndef QOR_FRAMEWORK_KEY_LRU_H_
#define QOR_FRAMEWORK_KEY_LRU_H_

#include <stddef.h>

#include <list>
#include <string>
#include <unordered_map>
#include <utility>

// Most keys one situation keeps.
constexpr size_t SITUATION_MAX_KEYS = 100000;

template <typename T>
class Key_Lru {
 public:
  // The state of `key`, made (value-initialised) when missing, now the most
  // recently used.
  T& Touch(const std::string& key) {
    auto it = map_.find(key);
    if (it == map_.end()) {
      it = map_.emplace(key, Node{}).first;
      order_.push_back(&it->first);
      it->second.pos = std::prev(order_.end());
    } else {
      order_.splice(order_.end(), order_, it->second.pos);
    }
    return it->second.value;
  }
  // The least recently used state and its key; null when there is none.
  T* Oldest(const std::string** key) {
    if (order_.empty()) {
      return nullptr;
    }
    *key = order_.front();
    return &map_.find(*order_.front())->second.value;
  }
  void DropOldest() {
    if (!order_.empty()) {
      const auto it = map_.find(*order_.front());
      order_.pop_front();
      map_.erase(it);
    }
  }
  size_t size() const { return map_.size(); }

 private:
  struct Node {
    T value{};
    typename std::list<const std::string*>::iterator pos;
  };
  std::list<const std::string*> order_;  // least recently used first
  std::unordered_map<std::string, Node> map_;
};

#endif  // QOR_FRAMEWORK_KEY_LRU_H_
