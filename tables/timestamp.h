// Timestamp: one event time in a situation's ring of recent event times,
// from which the situation's frequency threshold is evaluated.
//
// The ring is circular and doubly linked. Its head is the element added
// last; following tsNext from the head visits the events from the newest
// insertion to the oldest, and tsPrev of the head is the oldest. The owner
// (a situation object) keeps the head pointer, null while there is no ring,
// and owns the whole ring: deleting the head deletes every element.
// Not locked: a ring is used by one situation object, under its table
// manager's lock or while the framework destroys that object.
#ifndef QOR_TABLES_TIMESTAMP_H_
#define QOR_TABLES_TIMESTAMP_H_

#include <stdint.h>
#include <time.h>

// Reasons given to the framework when a situation is stopped.
constexpr int TIMESTAMPCHAINERROR = 1;  // the event-time ring is corrupted
constexpr int INVALIDREQUESTTYPE = 2;   // the request is of an unknown type

class Timestamp {
 public:
  // Builds an element from the 16-character time stamp `text` (local time;
  // characters 13-15 are ignored) and, when the conversion succeeds, links
  // it in as the new head of the ring whose head pointer is `*head` and
  // stores it there. On failure tsEventTime is negative, the element is a
  // ring of one that is linked nowhere, `*head` is unchanged and the caller
  // deletes it. A null `head` builds a ring of one without storing it.
  Timestamp(Timestamp** head, const char* text);
  // The same for a time in seconds since the epoch; always linked in.
  Timestamp(Timestamp** head, time_t time);
  // Deletes the following elements along tsNext up to, not including, the
  // ring's head: deleting a head deletes its whole ring, deleting another
  // element deletes it and everything behind it.
  virtual ~Timestamp();

  Timestamp(const Timestamp&) = delete;
  Timestamp& operator=(const Timestamp&) = delete;

  // Links this element in front of `head` (between the oldest element and
  // `head`) and makes it the head; with a null `head` it becomes a ring of
  // one. The caller stores this element as the new head pointer.
  void tsAddToChain(Timestamp* head);

  // Called on the head: the number of events later than now minus `period`
  // seconds. Older events are cut off and deleted; when the head itself is
  // that old the result is 0 and only the head is left. -1 when this
  // element is not a head.
  int tsCountEvents(long period);

  // Seconds since the epoch; negative when a conversion failed.
  int64_t tsEventTime;
  Timestamp* tsNext;
  Timestamp* tsPrev;
  bool tsHeadOfChain;  // true only for the head of its ring
};

#endif  // QOR_TABLES_TIMESTAMP_H_
