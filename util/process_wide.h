// One object for the whole process, built on first use (thread-safe) and
// never destroyed: threads that outlive main's statics (connection, dispatch
// and trace threads) may still reach it while the process exits, so it must
// not go away under them. ProcessWide<T>() names the idiom once; T is a type
// private to its user (a struct in an unnamed namespace), so each user gets
// its own object.
#ifndef QOR_UTIL_PROCESS_WIDE_H_
#define QOR_UTIL_PROCESS_WIDE_H_

template <typename T>
T& ProcessWide() {
  static T* const object = new T;
  return *object;
}

#endif  // QOR_UTIL_PROCESS_WIDE_H_
