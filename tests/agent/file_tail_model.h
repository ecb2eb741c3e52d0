// A model of File_Tail, without threads: a writer takes seeded random
// actions on a log in a real directory (whole and torn lines, rename
// rotation, copy-truncate, delete, recreate, compressing a rotated file, a
// stop, or a crash, with lines and rotations while stopped and a restart
// from the position saved through the state file's text), and after every
// look of the tail the lines it delivered so far must be exactly the lines
// written, in order, each once. A crash resumes from the position of a look
// some actions back, and the lines delivered since count as not delivered.
// The unit test runs a few thousand steps; the bench (file_tail_bench)
// runs it long.
//
// The writer finishes a torn line before it rotates, truncates or deletes,
// and the tail looks before an action that loses what it has not read (a
// copy-truncate, a delete, a compression, a stop): those are the rules any
// follower of a name needs. For the same reason a crash never resumes from
// a position older than such an action (what it removed leaves no trace),
// and a writer that is stopped only appends and rotates by rename. A file is
// never born in the clock tick of the tail's last look (the coarse clock
// that stamps files cannot order the two; a real rotation never comes that
// close to the look before it), so the writer waits for the next tick before
// it makes a file.
#ifndef QOR_TESTS_AGENT_FILE_TAIL_MODEL_H_
#define QOR_TESTS_AGENT_FILE_TAIL_MODEL_H_

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "agent/follow/file_tail.h"
#include "agent/follow/line_splitter.h"
#include "agent/follow/position_store.h"
#include "util/unique_file.h"

namespace qortest {

class File_Tail_Model : private File_Tail::Reader {
 public:
  // `restarts`: stop and restart the tail on the way.
  File_Tail_Model(const std::string& dir, uint32_t seed, bool restarts)
      : dir_(dir),
        path_(dir + "/app.log"),
        random_(seed),
        restarts_(restarts) {}

  // Runs as on a file system that keeps no birth time.
  void WithoutBirthTimes() { birth_times_ = false; }
  // Prints every action and every line delivered to `out` (the bench's
  // trace of a failing seed).
  void Trace(FILE* out) { trace_ = out; }

  // Runs `steps` actions: "" when the tail kept to the lines written, else
  // what went wrong first.
  std::string Run(int steps) {
    Write(path_, "", O_CREAT | O_TRUNC);
    Start(File_Tail::START_AT_HEAD, Log_Position());
    Save(&snapshot_);
    for (step_ = 0; step_ < steps && error_.empty(); ++step_) {
      const bool looked = Act(random_() % 100);
      if (looked || random_() % 3 != 0) {
        Look();
      }
    }
    FinishTorn();
    Look();
    return error_;
  }

 private:
  struct Sink {
    File_Tail_Model* model;
    void Line(char* entry, size_t length) {
      if (length > 0 && entry[length - 1] == '\n') {
        --length;
      }
      model->Delivered(std::string(entry, length));
    }
    void NulRun() { model->Fail("a NUL run was read"); }
  };

  // File_Tail::Reader.
  long TailRead() override {
    char block[4097];
    Sink sink{this};
    int64_t& budget = tail_->Budget();
    while (budget > 0) {
      const ssize_t n = read(fd_, block, sizeof block - 1);
      if (n <= 0) {
        return n;
      }
      budget -= n;
      held_.Feed(block, static_cast<size_t>(n), sink);
    }
    return 0;
  }
  void TailFlush() override {
    Sink sink{this};
    held_.Flush(sink);
  }
  bool TailMayKeep(int /*fd*/) override { return true; }

  void Fail(const std::string& what) {
    if (error_.empty()) {
      error_ =
          "step " + std::to_string(step_) + ": " + what + " (" + trail_ + ")";
    }
  }
  void Note(const std::string& what) {
    if (trace_ != nullptr) {
      fprintf(trace_, "%d: %s\n", step_, what.c_str());
    }
  }
  void Delivered(const std::string& line) {
    Note("  delivered " + line.substr(0, line.find('x')));
    const size_t i = delivered_.size();
    if (i >= written_.size()) {
      Fail("line delivered that was not written: " + line);
    } else if (written_[i] != line) {
      Fail("expected \"" + written_[i] + "\", delivered \"" + line + "\"");
    }
    delivered_.push_back(line);
  }

  bool Exists(const std::string& path) const {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
  }
  static long long CoarseNow() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
  }
  void Write(const std::string& path, const std::string& text, int flags) {
    if ((flags & O_CREAT) != 0 && ((flags & O_TRUNC) != 0 || !Exists(path))) {
      while (CoarseNow() <= looked_at_) {
        usleep(500);
      }
    }
    Note("write " + path.substr(dir_.size() + 1) + " " +
         std::to_string(text.size()) + " bytes" +
         ((flags & O_TRUNC) != 0 ? " anew" : ""));
    const int fd =
        open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | flags, 0644);
    if (fd < 0 || write(fd, text.data(), text.size()) !=
                      static_cast<ssize_t>(text.size())) {
      Fail("cannot write " + path);
    }
    if (fd >= 0) {
      close(fd);
    }
  }
  std::string NextLine() {
    std::string line = "line " + std::to_string(++number_);
    line.append(random_() % 40, 'x');
    return line;
  }
  // Appends whole lines, or the first part of a torn one; a torn line is
  // finished first.
  void Append(int lines, bool torn) {
    std::string text;
    if (!torn_rest_.empty()) {
      text = torn_rest_ + "\n";
      torn_rest_.clear();
    }
    for (int i = 0; i < lines; ++i) {
      const std::string line = NextLine();
      written_.push_back(line);
      text += line + "\n";
    }
    if (torn) {
      const std::string line = NextLine();
      written_.push_back(line);
      const size_t cut = 1 + random_() % (line.size() - 1);
      text += line.substr(0, cut);
      torn_rest_ = line.substr(cut);
    }
    Write(path_, text, O_CREAT);
  }
  void FinishTorn() {
    if (!torn_rest_.empty()) {
      Append(0, false);
    }
  }
  std::string RotatedName() { return path_ + "." + std::to_string(++kept_); }

  // One writer action; true when the tail looked before it.
  bool Act(unsigned roll) {
    if (roll < 40) {
      trail_ += "a";
      Append(1 + static_cast<int>(random_() % 3), false);
    } else if (roll < 55) {
      trail_ += "t";
      Append(static_cast<int>(random_() % 2), true);
    } else if (roll < 67) {
      // Rename rotation; the new file is created at once (a name left
      // missing holds back the files that came and went until one is back).
      trail_ += "r";
      FinishTorn();
      if (Exists(path_)) {
        const std::string to = RotatedName();
        Note("rename to " + to.substr(dir_.size() + 1));
        rename(path_.c_str(), to.c_str());
        uncompressed_.push_back(to);
        Write(path_, "", O_CREAT);
      }
    } else if (roll < 75) {
      // Copy-truncate of a log that holds a full head (a copy of a younger
      // one cannot be told from a new log).
      trail_ += "c";
      FinishTorn();
      struct stat st;
      if (stat(path_.c_str(), &st) == 0 &&
          st.st_size >= static_cast<off_t>(HEADFINGERPRINTBYTES)) {
        Look(true);
        Copy(path_, RotatedName());
        Note("truncate");
        truncate(path_.c_str(), 0);
        return true;
      }
    } else if (roll < 81) {
      trail_ += "d";
      FinishTorn();
      Look(true);
      Note("delete");
      unlink(path_.c_str());
      return true;
    } else if (roll < 86) {
      trail_ += "n";
      Write(path_, "", O_CREAT);
    } else if (roll < 92 || !restarts_) {
      // Compressing a rotated file: the copy's name ends in .gz, the file
      // itself goes.
      trail_ += "z";
      if (!uncompressed_.empty()) {
        Look(true);
        const std::string from = uncompressed_.front();
        uncompressed_.erase(uncompressed_.begin());
        Copy(from, from + ".gz");
        Note("delete " + from.substr(dir_.size() + 1));
        unlink(from.c_str());
        return true;
      }
    } else {
      // A stop, or a crash that leaves the position saved at an earlier
      // look; lines and rotations while stopped; a restart from the saved
      // position.
      Log_Position saved;
      if (random_() % 2 == 0) {
        trail_ += "s";
        Look();
        Stop(&saved);
      } else {
        trail_ += "k";
        saved = snapshot_;
        delivered_.resize(snapshot_delivered_);
        tail_->Close();
        tail_.reset();
      }
      Note("stopped at " + std::to_string(saved.inode) + ":" +
           std::to_string(saved.offset) + " +" +
           std::to_string(saved.rotated.size()) + " read " +
           std::to_string(saved.read.size()) + " " + saved.text);
      for (unsigned n = random_() % 3; n > 0; --n) {
        if (random_() % 3 == 0 && Exists(path_)) {
          FinishTorn();
          const std::string to = RotatedName();
          Note("rename to " + to.substr(dir_.size() + 1));
          rename(path_.c_str(), to.c_str());
          uncompressed_.push_back(to);
          Write(path_, "", O_CREAT);
        }
        Append(1, false);
      }
      if (!Exists(path_)) {
        Write(path_, "", O_CREAT);
      }
      Start(File_Tail::START_AT_POSITION, saved);
      return true;
    }
    return false;
  }
  void Copy(const std::string& from, const std::string& to) {
    std::string bytes;
    FILE* const in = fopen(from.c_str(), "re");
    if (in != nullptr) {
      char block[4096];
      size_t n;
      while ((n = fread(block, 1, sizeof block, in)) > 0) {
        bytes.append(block, n);
      }
      fclose(in);
    }
    Write(to, bytes, O_CREAT | O_TRUNC);
  }

  // The owner's steps, as Log_File takes them.
  void Start(File_Tail::Start_At at, const Log_Position& resume) {
    tail_.reset(new File_Tail(
        path_, File_Tail::View{&stream_, &fd_, &eof_, &held_}, this));
    if (!birth_times_) {
      tail_->WithoutBirthTimes();
    }
    if (tail_->Open("\nError opening file %s.  errno = %d; %s") != 0) {
      Fail("cannot open the log");
      return;
    }
    tail_->Start(at, resume);
    Log_Position ignored;
    tail_->Publish(&ignored);
  }
  // The tail's last published position, through the state file's text as
  // a restart of the agent takes it.
  void Save(Log_Position* saved) {
    Log_Position published;
    if (!tail_->Published(&published)) {
      Fail("no position to save");
    }
    State_Owner owner;
    owner.host = "model";
    std::vector<Log_Position> loaded;
    std::string err;
    if (!Position_Store::Parse(Position_Store::Format(owner, {published}),
                               owner, &loaded, &err) ||
        loaded.size() != 1) {
      Fail("the state file does not load: " + err);
    } else {
      *saved = loaded[0];
    }
  }
  void Stop(Log_Position* saved) {
    tail_->FinishAll();
    Log_Position ignored;
    tail_->Publish(&ignored);
    Save(saved);
    tail_->Close();
    tail_.reset();
  }
  // `lossy`: the writer then loses what is not read (a crash must not go
  // back behind this look).
  void Look(bool lossy = false) {
    if (tail_ == nullptr || !error_.empty()) {
      return;
    }
    trail_ += ".";
    Note("look");
    // A pass cut short (files found that came and went) goes on at once.
    for (int i = 0; i < 64; ++i) {
      tail_->BeginPass(timespec{});
      tail_->ReadRotated();
      const bool replaced = tail_->NameReplaced();
      int rc = tail_->ReadCurrent();
      if (replaced && rc == 0) {
        rc = tail_->FollowReplacement();
      }
      if (rc != 0 || tail_->TakeFailure() != File_Tail::TAIL_OK) {
        Fail("a pass failed");
        return;
      }
      Log_Position ignored;
      tail_->Publish(&ignored);
      if (!tail_->PassCut()) {
        break;
      }
    }
    looked_at_ = CoarseNow();
    // What the state file holds when the agent is killed: the position of
    // a look a few actions back, and the lines delivered up to it.
    if (lossy || random_() % 4 == 0) {
      Save(&snapshot_);
      snapshot_delivered_ = delivered_.size();
    }
    const size_t whole = written_.size() - (torn_rest_.empty() ? 0 : 1);
    if (error_.empty() && delivered_.size() != whole) {
      Fail("delivered " + std::to_string(delivered_.size()) + " lines of " +
           std::to_string(whole));
    }
    if (trail_.size() > 60) {
      trail_.erase(0, trail_.size() - 60);
    }
  }

  const std::string dir_;
  const std::string path_;
  std::mt19937 random_;
  const bool restarts_;
  FILE* trace_ = nullptr;
  bool birth_times_ = true;
  int step_ = 0;
  long long looked_at_ = 0;
  int number_ = 0;
  int kept_ = 0;
  std::vector<std::string> written_;
  std::vector<std::string> delivered_;
  std::string torn_rest_;
  std::vector<std::string> uncompressed_;
  std::string error_;
  Log_Position snapshot_;
  size_t snapshot_delivered_ = 0;
  // The last actions: a appended, t torn, r rotated, c copy-truncated,
  // d deleted, n created, z compressed, s restarted, k killed and
  // restarted, . looked.
  std::string trail_;
  // The owner's view of the file being read.
  Unique_File stream_;
  int fd_ = -1;
  std::atomic<off_t> eof_{-1};
  Line_Splitter held_;
  std::unique_ptr<File_Tail> tail_;
};

}  // namespace qortest

#endif  // QOR_TESTS_AGENT_FILE_TAIL_MODEL_H_
