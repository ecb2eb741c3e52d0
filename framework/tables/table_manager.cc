// Table managers: the registered tables and their request objects.
#include "framework/tables/table_manager.h"

#include "util/posix_mutex.h"
#include "util/process_wide.h"

namespace {

struct ManagerRegistry {
  Posix_Mutex mu;
  std::vector<TableManager*> managers GUARDED_BY(mu);
};

ManagerRegistry& Registry() {
  return ProcessWide<ManagerRegistry>();  // managers live until the process
                                          // ends
}

}  // namespace

LinkedList::~LinkedList() {
  while (head_ != nullptr) {
    Node* next = head_->next;
    delete head_;
    head_ = next;
  }
}

void LinkedList::Add(void* item) {
  Node* n = new Node{item, nullptr};
  if (tail_ == nullptr) {
    head_ = tail_ = n;
  } else {
    tail_->next = n;
    tail_ = n;
  }
  ++count_;
}

bool LinkedList::Remove(void* item) {
  Node* prev = nullptr;
  for (Node* n = head_; n != nullptr; prev = n, n = n->next) {
    if (n->item != item) {
      continue;
    }
    (prev == nullptr ? head_ : prev->next) = n->next;
    if (tail_ == n) {
      tail_ = prev;
    }
    delete n;
    --count_;
    return true;
  }
  return false;
}

void* LinkedListIter::Next() {
  if (next_ == nullptr) {
    return nullptr;
  }
  void* item = next_->item;
  next_ = next_->next;
  return item;
}

vandu* VanduListIter::Next() {
  while (true) {
    auto* v = static_cast<vandu*>(LinkedListIter::Next());
    if (v == nullptr || !v->IsStopped()) {
      return v;
    }
  }
}

TableManager::TableManager(const char* appl, const char* table)
    : application_(appl != nullptr ? appl : ""),
      table_(table != nullptr ? table : "") {
  YOM1_CreateLock(&managerLock);
}

TableManager::~TableManager() {
  YOM1_DestroyLock(&managerLock);
}

unsigned TableManager::RegisterWithManager(TableManager* manager) {
  if (manager == nullptr) {
    return 1;
  }
  ManagerRegistry& r = Registry();
  Posix_Mutex::Hold g(&r.mu);
  for (TableManager* m : r.managers) {
    if (m->FullName() == manager->FullName()) {
      return 1;
    }
  }
  r.managers.push_back(manager);
  return 0;
}

TableManager* TableManager::Find(const std::string& name) {
  ManagerRegistry& r = Registry();
  Posix_Mutex::Hold g(&r.mu);
  for (TableManager* m : r.managers) {
    if (m->FullName() == name || m->table_ == name) {
      return m;
    }
  }
  return nullptr;
}

std::vector<TableManager*> TableManager::All() {
  ManagerRegistry& r = Registry();
  Posix_Mutex::Hold g(&r.mu);
  return r.managers;
}

namespace {

// Pins `v`, lets `collect` fill its rows, dispatches them (a failure's result
// into *rc) and empties it again. An object being destroyed is passed over:
// its pin belongs to someone else.
template <typename Collect>
void DispatchPinned(vandu* v, Collect collect, unsigned* rc) {
  const unsigned h = v->Handle();
  if (vandu::UseHandle(h) == nullptr) {
    return;
  }
  collect(v);
  const unsigned d = v->Dispatch();
  if (d != 0) {
    *rc = d;
  }
  v->SetRowCount(0);
  vandu::DAV1_Drop(h);
}

}  // namespace

void TableManager::AddLive(vandu* v) {
  ReplaceLive({}, {v});
}

bool TableManager::RemoveLive(vandu* v) {
  YOM1_GetLock(&managerLock);
  const bool removed = vanduList.Remove(v);
  if (removed) {
    prefilter_.Removed(v);
    v->SetListed(false);
  }
  YOM1_ReleaseLock(&managerLock);
  return removed;
}

void TableManager::ReplaceLive(const std::vector<vandu*>& gone,
                               const std::vector<vandu*>& added) {
  YOM1_GetLock(&managerLock);
  for (vandu* v : gone) {
    if (vanduList.Remove(v)) {
      prefilter_.Removed(v);
      v->SetListed(false);
    }
  }
  for (vandu* v : added) {
    vanduList.Add(v);
    prefilter_.Added(v);
    v->SetListed(true);
  }
  YOM1_ReleaseLock(&managerLock);
}

void TableManager::UsePrefilter(bool on) {
  YOM1_GetLock(&managerLock);
  usePrefilter_ = on;
  YOM1_ReleaseLock(&managerLock);
}

unsigned TableManager::OfferToLive(char* rows, int count) {
  unsigned result = 0;
  YOM1_GetLock(&managerLock);
  candidates_.clear();
  if (usePrefilter_) {
    prefilter_.Candidates(&vanduList, rows, count, &candidates_);
  } else {
    LinkedListIter it(&vanduList);
    for (void* p = it.Next(); p != nullptr; p = it.Next()) {
      candidates_.push_back({static_cast<vandu*>(p), false, 0, 0});
    }
  }
  // Not pinned, unlike in a sample: an object comes off this list under the
  // lock held here before it is destroyed (vandu::Destroy), so none of these
  // can be destroyed, or be doomed by a pin of someone else, meanwhile.
  for (const Situation_Prefilter::Candidate& c : candidates_) {
    vandu* v = c.object;
    if (v->IsStopped()) {
      continue;
    }
    if (c.proven) {
      vandu::Proven_Row proof(v, rows, c.offset, c.width);
      v->AddData(rows, count);
    } else {
      v->AddData(rows, count);
    }
    const unsigned d = v->Dispatch();
    if (d != 0) {
      result = d;
    }
    v->SetRowCount(0);
  }
  YOM1_ReleaseLock(&managerLock);
  return result;
}

unsigned TableManager::SampleLive() {
  unsigned rc = 0;
  YOM1_GetLock(&managerLock);
  VanduListIter it(&vanduList);
  for (vandu* v = it.Next(); v != nullptr; v = it.Next()) {
    DispatchPinned(
        v,
        [](vandu* p) {
          p->SetRowCount(0);
          p->TakeSample();
        },
        &rc);
  }
  YOM1_ReleaseLock(&managerLock);
  return rc;
}

unsigned TableManager::AnnounceSuppressed(long now) {
  unsigned rc = 0;
  YOM1_GetLock(&managerLock);
  VanduListIter it(&vanduList);
  for (vandu* v = it.Next(); v != nullptr; v = it.Next()) {
    const unsigned h = v->Handle();
    if (vandu::UseHandle(h) == nullptr) {
      continue;
    }
    const unsigned d = v->AnnounceSuppressed(now);
    if (d != 0) {
      rc = d;
    }
    vandu::DAV1_Drop(h);
  }
  YOM1_ReleaseLock(&managerLock);
  return rc;
}

void TableManager::Shutdown() {
  std::vector<vandu*> live;
  YOM1_GetLock(&managerLock);
  LinkedListIter it(&vanduList);
  for (void* p = it.Next(); p != nullptr; p = it.Next()) {
    live.push_back(static_cast<vandu*>(p));
  }
  for (vandu* v : live) {
    vanduList.Remove(v);
    prefilter_.Removed(v);
    v->SetListed(false);
  }
  YOM1_ReleaseLock(&managerLock);
  for (vandu* v : live) {
    vandu::Destroy(v);
  }
}
