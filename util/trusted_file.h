// Whether a file the agent executes commands from or otherwise trusts (its
// configuration, its situations, its state) is safe to read: a file that
// another user can change would let that user run commands as the agent.
#ifndef QOR_UTIL_TRUSTED_FILE_H_
#define QOR_UTIL_TRUSTED_FILE_H_

#include <string>

// Set to "warn", files that fail the check are used with a warning.
constexpr char kInsecureFilesVar[] = "TVX_INSECURE_FILES";

// Checks `path` and every directory above it (of the path as given and of
// the file it resolves to): each must be owned by root or the effective
// uid, writable by no other user, and group-writable only for group 0. A
// world-writable directory with the sticky bit passes, as its entries can
// only be replaced by their owners. `what` names the file in messages
// ("configuration file").
// Returns false when the file must not be used, with *problem naming the
// offending file, its owner and its mode; returns true otherwise, with
// *problem empty, or holding a warning when kInsecureFilesVar is "warn". A
// file that does not exist passes (its reader reports it).
bool CheckTrustedFile(const char* what, const std::string& path, std::string* problem);

#endif  // QOR_UTIL_TRUSTED_FILE_H_
