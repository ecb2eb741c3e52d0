// The runtime's side of util/trusted_file.h: where refusals and warnings
// about files the process trusts are reported.
#ifndef QOR_FRAMEWORK_RUNTIME_TRUSTED_FILES_H_
#define QOR_FRAMEWORK_RUNTIME_TRUSTED_FILES_H_

#include <string>

// Whether the file `path` ("" or null: none), which the process trusts,
// may be used (util/trusted_file.h): a refusal or a warning is traced and,
// when `to_stderr`, also written to standard error; `problem`, when given,
// receives it. False when refused.
bool HOV_TrustedFile(const char* what, const char* path, bool to_stderr,
                     std::string* problem = nullptr);

// Reads the settings file `path`, which the process trusts (HOV_TrustedFile
// with `what`, e.g. "HOV_OTLP_HEADERS", naming it), whole: at most 1 MiB of
// it. False with *err when it is refused or cannot be read; its text, which
// may hold secrets, never goes into *err.
[[nodiscard]] bool ReadTrustedFile(const char* what, const char* path,
                                   std::string* text, std::string* err);

#endif  // QOR_FRAMEWORK_RUNTIME_TRUSTED_FILES_H_
