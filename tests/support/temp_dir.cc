// Scoped_Temp_Dir: a private temporary directory removed with its contents.
#include "tests/support/temp_dir.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "util/errno_text.h"

namespace qortest {

Scoped_Temp_Dir::Scoped_Temp_Dir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = (base != nullptr && *base != '\0') ? base : "/tmp";
  pattern += "/qortest.XXXXXX";
  std::vector<char> tmpl(pattern.begin(), pattern.end());
  tmpl.push_back('\0');
  if (mkdtemp(tmpl.data()) == nullptr) {
    const int e = errno;
    char eb[128];
    fprintf(stderr, "cannot create a temporary directory %s: %s\n",
            pattern.c_str(), ErrnoText(e, eb, sizeof eb));
    abort();
  }
  path_ = tmpl.data();
}

Scoped_Temp_Dir::~Scoped_Temp_Dir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  if (ec) {
    fprintf(stderr, "cannot remove the temporary directory %s: %s\n",
            path_.c_str(), ec.message().c_str());
  }
}

}  // namespace qortest
