// A private temporary directory for a test, under $TMPDIR (else /tmp),
// removed with everything in it when the object goes. Construction aborts
// the test program with a message when the directory cannot be made: a test
// must never fall back to a shared directory it would later remove.
#ifndef QOR_TESTS_SUPPORT_TEMP_DIR_H_
#define QOR_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace qortest {

class Scoped_Temp_Dir {
 public:
  Scoped_Temp_Dir();
  // Removes the tree without a shell; a failure is reported on stderr.
  ~Scoped_Temp_Dir();
  Scoped_Temp_Dir(const Scoped_Temp_Dir&) = delete;
  Scoped_Temp_Dir& operator=(const Scoped_Temp_Dir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace qortest

#endif  // QOR_TESTS_SUPPORT_TEMP_DIR_H_
