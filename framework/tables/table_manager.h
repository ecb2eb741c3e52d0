// Table managers: one per table, registered once under "APPL.TABLE" and kept
// until the process ends. A manager creates the request objects of its table
// (CreateVandu) and keeps the live ones (the table's situations) on a list
// that is changed and walked only under its lock.
#ifndef QOR_FRAMEWORK_TABLES_TABLE_MANAGER_H_
#define QOR_FRAMEWORK_TABLES_TABLE_MANAGER_H_

#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "framework/runtime/locks.h"
#include "framework/situations/situation_prefilter.h"
#include "framework/tables/request.h"

// A singly linked list of untyped items, in insertion order.
class LinkedList {
 public:
  LinkedList() = default;
  ~LinkedList();
  LinkedList(const LinkedList&) = delete;
  LinkedList& operator=(const LinkedList&) = delete;

  void Add(void* item);
  // False when `item` is not on the list.
  bool Remove(void* item);
  int Count() const { return count_; }

 private:
  friend class LinkedListIter;
  struct Node {
    void* item;
    Node* next;
  };
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  int count_ = 0;
};

// Yields each item in list order, then null. The list must not change while
// an iterator walks it (hold the manager's lock).
class LinkedListIter {
 public:
  explicit LinkedListIter(LinkedList* list) : next_(list->head_) {}
  void* Next();

 private:
  LinkedList::Node* next_;
};

// Yields each live vandu of a manager's list that is not stopped, then null.
class VanduListIter : public LinkedListIter {
 public:
  explicit VanduListIter(LinkedList* list) : LinkedListIter(list) {}
  vandu* Next();
};

class TableManager {
 public:
  TableManager(const char* appl, const char* table);
  virtual ~TableManager();
  TableManager(const TableManager&) = delete;
  TableManager& operator=(const TableManager&) = delete;

  // Files `manager` under "APPL.TABLE": 0, or non-zero when the name is
  // already registered or `manager` is null.
  static unsigned RegisterWithManager(TableManager* manager);
  // The manager of "APPL.TABLE", or of "TABLE" alone; null when unknown.
  static TableManager* Find(const std::string& name);
  // Every registered manager in registration order.
  static std::vector<TableManager*> All();

  // A new request object of the table, or null when it cannot be built.
  virtual vandu* CreateVandu(RequestDetail* detail, ContextInfo* context) = 0;
  // Destroys every live object of the table.
  virtual void Shutdown();

  const std::string& Application() const { return application_; }
  const std::string& Table() const { return table_; }
  std::string FullName() const { return application_ + "." + table_; }

  // Puts a situation object on the live list (takes the lock).
  void AddLive(vandu* v);
  // Takes it off again (takes the lock); false when it was not listed.
  bool RemoveLive(vandu* v);
  // Takes `gone` off the live list and puts `added` on its end, in one step
  // under the lock.
  void ReplaceLive(const std::vector<vandu*>& gone,
                   const std::vector<vandu*>& added);
  // Offers `count` rows to every live object that can take one of them (in
  // list order) and dispatches what each collected: the last non-zero
  // Dispatch result, or 0. Takes the lock.
  unsigned OfferToLive(char* rows, int count);
  // With false every live object is offered every row (the prefilter's
  // reference behaviour, for tests and measurements).
  void UsePrefilter(bool on);
  // Samples every live object once and dispatches what it collected (for
  // tables whose situations are sampled). Returns the last Dispatch failure.
  unsigned SampleLive();
  // Sends the held-back counts of THROTTLE intervals that have ended (see
  // vandu::AnnounceSuppressed) by `now` (seconds since the epoch) for every
  // live object. Takes the lock.
  unsigned AnnounceSuppressed(long now);

  // Keys the table's situations forgot, still in use, to keep to their most
  // keys (vandu::KeyForgotten), since the start.
  void CountKeysEvicted(uint64_t n) {
    keysEvicted_.fetch_add(n, std::memory_order_relaxed);
  }
  uint64_t KeysEvicted() const {
    return keysEvicted_.load(std::memory_order_relaxed);
  }

 protected:
  YOM1_Lock managerLock;
  LinkedList vanduList GUARDED_BY(managerLock);

 private:
  Situation_Prefilter prefilter_ GUARDED_BY(managerLock);
  bool usePrefilter_ GUARDED_BY(managerLock) = true;
  std::vector<Situation_Prefilter::Candidate> candidates_
      GUARDED_BY(managerLock);

  std::string application_;
  std::string table_;
  std::atomic<uint64_t> keysEvicted_{0};
};

#endif  // QOR_FRAMEWORK_TABLES_TABLE_MANAGER_H_
