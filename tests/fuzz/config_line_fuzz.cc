// Fuzz target: the log configuration as whoever may write it shapes it,
// read as the log manager reads it at a refresh. The first byte picks the
// format (even: the agent's configuration file, read record by record;
// odd: a syslog configuration, resolved with its includes into the files
// of the system log as a refresh resolves it); the rest is the file. Every
// record becomes a Valid_Log in one ring, so that the duplicate check sees
// the records before it.
//
// Built from: agent/*.cc agent/*/*.cc framework/*/*.cc util/*.cc
// Built from: tables/*.cc parser/*.cc table_agents/*.cc
// libFuzzer: -max_len=4096
//
// The parsers stat, open, glob and include the paths a line names. So that
// no run touches a file outside its own temporary directory, the process
// works inside one (relative paths and patterns resolve there), every '/'
// of the input is rooted in it and every ".." is defused before the file
// is written. The directory holds a log file, a journal directory and a
// drop-in directory for includes, and is removed at exit.
//
// Besides what the sanitizers catch, it checks what the log kinds rely on:
// an accepted entry names an absolute path with its directory length
// inside the name, has a known type, a procedure where its kind needs one,
// and no other entry of the ring names the same file.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent/config/config_def.h"
#include "agent/config/log_manager_util.h"
#include "agent/config/system_log.h"
#include "agent/config/valid_log.h"
#include "tests/fuzz/fuzz_trace.h"

namespace {

[[noreturn]] void Fail(const char* what, const char* name) {
  fprintf(stderr, "invariant broken: %s: \"%s\"\n", what, name);
  abort();
}

std::string* g_root = nullptr;

void RemoveRoot() {
  if (g_root != nullptr) {
    std::error_code ec;
    std::filesystem::remove_all(*g_root, ec);
    if (ec) {
      fprintf(stderr, "could not remove %s: %s\n", g_root->c_str(),
              ec.message().c_str());
    }
  }
}

void WriteFile(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "we");
  if (f == nullptr) {
    perror(path.c_str());
    abort();
  }
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

// The temporary directory, made with its fixtures on the first call.
const std::string& Root() {
  static const std::string root = [] {
    char dir[] = "/tmp/qor-config-fuzz.XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) {
      perror("temporary directory");
      abort();
    }
    g_root = new std::string(dir);
    atexit(RemoveRoot);
    WriteFile(*g_root + "/log", "line\n");
    if (mkdir((*g_root + "/journal").c_str(), 0700) != 0 ||
        mkdir((*g_root + "/conf.d").c_str(), 0700) != 0) {
      perror("fixture directory");
      abort();
    }
    WriteFile(*g_root + "/conf.d/a.conf", "*.* /log\nmail.* -/log2\n");
    return *g_root;
  }();
  return root;
}

// The input with every path rooted in the temporary directory.
std::string Confine(const uint8_t* data, size_t size, const std::string& root) {
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    char c = static_cast<char>(data[i]);
    if (c == ROOT) {
      text += root;
    } else if (c == '.' && !text.empty() && text.back() == '.') {
      c = '_';
    }
    text += c;
  }
  return text;
}

void CheckRing(Valid_Log* head) {
  if (head == nullptr) {
    return;
  }
  Log_Base* element = head;
  do {
    const char* const name = element->LogFileName;
    if (name == nullptr || name[0] != ROOT) {
      Fail("accepted entry without an absolute name", Name(name));
    }
    if (element->LogPathNameLength < 1 ||
        static_cast<size_t>(element->LogPathNameLength) > strlen(name) ||
        name[element->LogPathNameLength - 1] != ROOT) {
      Fail("directory length outside the name", name);
    }
    if (strchr("SEAUJ", element->LogType) == nullptr) {
      Fail("unknown type", name);
    }
    if ((element->LogType == ERRLOGTYPE || element->LogType == USERLOGTYPE) &&
        element->LogProcedure == nullptr) {
      Fail("kind without its procedure", name);
    }
    for (Log_Base* other = element->Next; other != head; other = other->Next) {
      if (strcmp(other->LogFileName, name) == 0) {
        Fail("duplicate accepted", name);
      }
    }
    element = element->Next;
  } while (element != head);
}

bool Add(char* record, Valid_Log** head) {
  Valid_Log* const log = new Valid_Log(USERCONFIG, record, *head);
  if (log->Valid == 0) {
    delete log;
    return false;
  }
  if (*head == nullptr) {
    *head = log;
  }
  return true;
}

void DeleteRing(Valid_Log* head) {
  while (head != nullptr) {
    Valid_Log* const next =
        head->Next == head ? nullptr : static_cast<Valid_Log*>(head->Next);
    delete head;
    head = next;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SilenceTraceOnce();
  const std::string& root = Root();
  if (size == 0) {
    return 0;
  }
  const std::string path = root + "/conf";
  WriteFile(path, Confine(data + 1, size - 1, root));
  Valid_Log* head = nullptr;
  if ((data[0] & 1) == 0) {
    while (char* const record = get_next_rec(path.c_str())) {
      Add(record, &head);
    }
  } else {
    // The system log as the log manager resolves it, the journal left out.
    System_Log_Places places;
    places.syslog_conf = path.c_str();
    bool from_conf = false;
    File_Signature signature;
    AddSystemLog(
        places, LOGDEBUGMODEOFF, false, true,
        [&head](char* record) { return Add(record, &head); }, &from_conf,
        &signature);
  }
  CheckRing(head);
  DeleteRing(head);
  return 0;
}
