#include "framework/table_manager.h"

#include "util/posix_mutex.h"

namespace {

struct ManagerRegistry {
  Posix_Mutex mu;
  std::vector<TableManager*> managers GUARDED_BY(mu);
};

ManagerRegistry& Registry() {
  static auto* r = new ManagerRegistry;  // managers live until the process ends
  return *r;
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
    : application_(appl != nullptr ? appl : ""), table_(table != nullptr ? table : "") {
  YOM1_CreateLock(&managerLock);
}

TableManager::~TableManager() { YOM1_DestroyLock(&managerLock); }

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

void TableManager::AddLive(vandu* v) {
  YOM1_GetLock(&managerLock);
  vanduList.Add(v);
  YOM1_ReleaseLock(&managerLock);
}

bool TableManager::RemoveLive(vandu* v) {
  YOM1_GetLock(&managerLock);
  const bool removed = vanduList.Remove(v);
  YOM1_ReleaseLock(&managerLock);
  return removed;
}

unsigned TableManager::SampleLive() {
  unsigned rc = 0;
  YOM1_GetLock(&managerLock);
  VanduListIter it(&vanduList);
  for (vandu* v = it.Next(); v != nullptr; v = it.Next()) {
    const unsigned h = v->Handle();
    if (vandu::UseHandle(h) == nullptr) {
      continue;
    }
    v->SetRowCount(0);
    v->TakeSample();
    const unsigned d = v->Dispatch();
    if (d != 0) {
      rc = d;
    }
    v->SetRowCount(0);
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
  }
  YOM1_ReleaseLock(&managerLock);
  for (vandu* v : live) {
    vandu::Destroy(v);
  }
}
