// File_Tail follows one log name through the life of the files it names:
// it opens the file safely, reads what is appended, notices a truncation or
// a copy-truncate (the file emptied, or emptied and refilled), follows a
// rename rotation to the new file while the old one (and the files that
// came and went under the name between two looks) are read on to their end,
// never reads a file twice, and says where it has read to.
//
// Why a class of its own: this is the part of watching a log that has
// rules of its own (which file comes next, which bytes were read), and they
// are tested as a model, by feeding it file-system actions, without threads.
// It knows nothing of entries, rows, threads or the manager: the bytes go to
// a Reader, which owns the line reader and the budget it spends.
//
// Cost: a pass stats the name and the open files; the directory is listed
// only when the name was replaced or a saved position is resumed.
//
// Threads: one at a time (the log's worker thread). The owner publishes
// what Position says to other threads under its own lock.
//
// The file being read is the owner's (a View: the stream, descriptor and
// offset the owner's reader uses, and the unfinished line it holds); a
// rotated file is swapped into that View while it is read.
#ifndef QOR_AGENT_FOLLOW_FILE_TAIL_H_
#define QOR_AGENT_FOLLOW_FILE_TAIL_H_

#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "agent/follow/line_splitter.h"
#include "agent/follow/position_store.h"
#include "util/repeat_limiter.h"
#include "util/unique_fd.h"
#include "util/unique_file.h"

// Rotated files of one log read at a time.
constexpr size_t MAXROTATEDLOGS = 16;
// Files read to their end that a log remembers.
constexpr size_t MAXREADLOGS = 16;
// Bytes one pass over a log reads at most.
constexpr int64_t PASSBYTES = 256 * 1024;
// Seconds a rotated log must stay unchanged before it is closed.
constexpr int ROTATEDGRACESECONDS = 5;

class File_Tail {
 public:
  // What the owner does with the bytes.
  class Reader {
   public:
    virtual ~Reader() = default;
    // Reads what the View's descriptor holds from where it stands, spending
    // Budget() of the tail: 0, or -1 on a read error (traced by the reader).
    virtual long TailRead() = 0;
    // Delivers the View's unfinished line as it stands: the tail leaves the
    // file, or rereads it from its start.
    virtual void TailFlush() = 0;
    // False when descriptor `fd` may not be kept open (too few descriptors
    // left); the tail then closes it.
    virtual bool TailMayKeep(int fd) = 0;
    // The tail moves from one file to another (a rotated one and back):
    // what the reader gathers does not go on across files.
    virtual void TailSwitch() {}
    // A rotated file was let go unread (FollowUnread) with `bytes` of it
    // never delivered.
    virtual void TailLost(uint64_t /*bytes*/) {}
    // Bytes of the View's file delivered but not yet made into entries (an
    // entry still being joined, which a switch of files ends): a published
    // position stays before them, so that a restart reads the entry whole.
    virtual uint64_t TailPending() const { return 0; }
  };
  // The file being read, as the reader sees it.
  struct View {
    Unique_File* stream;
    int* fd;
    std::atomic<off_t>* eof;
    Line_Splitter* held;
  };
  // Where an open puts the offset.
  enum Start_At : uint8_t { START_AT_END, START_AT_HEAD, START_AT_POSITION };
  // Why a step failed (the owner's status); TakeFailure tells.
  enum Failure : uint8_t {
    TAIL_OK,
    TAIL_ERR_OPEN,
    TAIL_ERR_READ,
    TAIL_ERR_REWIND,
    TAIL_ERR_SEEK_END,
    TAIL_ERR_SEEK_RESET,
  };

  // Follows `path`; nothing is open yet. `view` and `reader` outlive it.
  File_Tail(std::string path, View view, Reader* reader);
  File_Tail(const File_Tail&) = delete;
  File_Tail& operator=(const File_Tail&) = delete;
  ~File_Tail();

  // Opens the name without blocking (a FIFO never holds the worker) and
  // only when it is a regular file, into a file that Start then positions.
  // The path is walked one directory at a time (util/safe_open.h): no
  // symbolic link is followed where a user other than root and the agent's
  // own may write, except root's or the agent's own link in a sticky
  // directory. The first file is refused when such a directory holds it and
  // it belongs to neither root, the agent's user nor the directory's owner;
  // after a file was read before, a file now under the name is a
  // replacement, refused when another user owns it. A failed open is traced
  // with `open_error` ("%s" path, "%d" errno, "%s" text), the same failure
  // again at most once a minute. 0, or the errno value (a failure to take).
  // `opened`, when valid, is the file under the name a look opened before
  // (a pattern's match): taken instead of opening the name, at the first
  // open only, with the same checks.
  int Open(const char* open_error, Unique_Fd opened = Unique_Fd());
  // Makes the file Open opened the one read: from its end, its start, or
  // `resume` when it is the same file (device, inode, first bytes), else
  // from its start, looking for the file `resume` names among the rotated
  // ones; the rotated files of `resume` are read on first.
  void Start(Start_At start, const Log_Position& resume);
  // True once a file was opened (a later open is a replacement).
  bool OpenedBefore() const { return opened_before_; }

  // The steps of one pass, in order: BeginPass, ReadRotated, NameReplaced
  // (taken before reading the current file, so that what was written to the
  // old file up to a rotation is read before the new file is opened),
  // ReadCurrent, then FollowReplacement when the name was replaced.
  // `looked` is when the owner's watch last saw the current file under the
  // name (zero when unknown).
  void BeginPass(const struct timespec& looked);
  // Reads the rotated files still open, oldest first, and closes each read
  // to its end that is gone or has been idle for ROTATEDGRACESECONDS.
  void ReadRotated();
  // True when the name now names a file other than the one open (a missing
  // name is not a replacement yet: the old file is read on).
  bool NameReplaced();
  // Truncation, appended data, the head copy of the current file.
  // 0, or -1 (a failure to take).
  int ReadCurrent();
  // Opens the file that replaced the log and reads it from its start; the
  // old file, and the files that came and went under the name since the
  // last look, are kept to be read on. 0, or -1 (a failure to take).
  int FollowReplacement();
  // Reads every rotated file to its end and closes it.
  void FinishAll();
  // While nothing may be read (delivery waits): when the name was replaced,
  // keeps the old file among the rotated ones and opens the new one, as
  // FollowReplacement does, but reads nothing, so that a rotation scheme
  // that removes old files takes none the tail still holds. Past
  // MAXROTATEDLOGS kept, the oldest is let go unread: what it held beyond
  // what was delivered is lost, traced at the error level and told to the
  // Reader (TailLost). A failed open is traced once and left for the next
  // pass.
  void FollowUnread();
  // The failure of the steps since the last call; TAIL_OK when none. A step
  // that fails leaves the tail as it was and can be tried again.
  Failure TakeFailure();
  // Closes the current file; its unfinished line is dropped (a position
  // taken before reads it again).
  void Close();

  // Bytes the current pass may still read: a pass that reads a large
  // backlog ends early, so that the name is looked at often enough to open
  // every file rotated under it before it is removed. Unlimited outside a
  // pass.
  int64_t& Budget() { return budget_; }
  // The pass ended early: the next one should follow at once.
  bool PassCut() const { return budget_ <= 0; }
  // The name needs looking at every interval, change events or not: it
  // names a directory, or a rotated file (which has no watch) is read.
  bool NeedsLooking() const { return name_is_directory_ || !rotated_.empty(); }
  // The open(2) flags of a safe open of `path`: read-only, non-blocking,
  // close-on-exec, no controlling terminal, and O_NOFOLLOW for a
  // `replacement` in a directory others than root may write (but for
  // root's own link in a sticky one). Any thread. Open walks the path as
  // well (OpenPathSafely), which decides on links itself.
  static int SafeOpenFlags(const char* path, bool replacement);
  // A name missing at the first open is no error to trace: a pattern's
  // match that came and went before its log opened it.
  void QuietWhenMissing() { quiet_missing_ = true; }
  // Takes no birth time from the file system, as on one that keeps none
  // (for tests, before Open).
  void WithoutBirthTimes() { birth_times_ = false; }
  // The identity of the current file: false when none is open.
  bool Identity(dev_t* device, ino_t* inode) const;

  // Where the tail has read to (what is held unfinished is read again). True
  // when it differs from what the last call returned, with *position set.
  bool Publish(Log_Position* position);
  // What Publish last returned; false before the first.
  bool Published(Log_Position* position) const;

 private:
  // A file being read: the current one, or a rotated one.
  struct Open_File {
    Unique_File stream;
    int fd = -1;
    off_t eof = -1;
    dev_t device = 0;
    ino_t inode = 0;
    uid_t owner = 0;
    Head_Copy head;
    bool identity_known = false;
    time_t idle_since = 0;  // monotonic seconds of the last growth
    // When it was born; zero where the file system keeps no birth time.
    struct statx_timestamp born = {};
  };
  // A file rotated away that is still read, with its unfinished last line.
  struct Rotated_File {
    Open_File open;
    Line_Splitter held;
  };
  // A file read to its end and closed, or emptied by a copy-truncate, known
  // by its identity and head so that finding it, or its copy, in the
  // directory never has it read twice.
  struct Read_File {
    dev_t device = 0;
    ino_t inode = 0;
    Head_Fingerprint head;
  };

  // The times a saved position's text holds (see Publish).
  struct Resumed_Times;

  // Opens the name safely into `open`; a failed open is traced with
  // `open_error`. 0, or the errno value with *failure set.
  int OpenName(bool replacement, const char* open_error, Open_File* open,
               Failure* failure, Unique_Fd opened = Unique_Fd());
  // Keeps the file `resume` names (rotated away while nobody read it) as a
  // rotated file read on from the resumed offset, followed by the files
  // that took its place before the current one.
  void FindRotated(const Log_Position& resume, const Resumed_Times& times);
  // Keeps the files of `saved` found in the directory as rotated files, each
  // read on from its saved offset; those gone or changed are left out.
  // True when one was left to be found among the files that came and went
  // (an empty one, known by no birth time).
  bool RestoreRotated(const std::vector<Rotated_Position>& saved,
                      const Resumed_Times& times);
  // The file of the directory with this identity, head and birth (where
  // both births are known), no shorter than `offset`, opened as a rotated
  // file at `offset`; *name takes its name. With `inode` 0, any file named
  // after the log, not read now, with this head (a copy).
  std::unique_ptr<Rotated_File> FindRotatedFile(
      uint64_t device, uint64_t inode, const Head_Fingerprint& head,
      const struct statx_timestamp& born, int64_t offset, std::string* name);
  // True when the file of this identity is the current or a rotated one.
  bool Reading(uint64_t device, uint64_t inode) const;
  // Keeps as rotated files, oldest first and read from their start, the
  // files of the directory that were under the name only between two looks:
  // born (modified, where the file system keeps no birth time) at or after
  // `after` and before the current file, named after the log but not
  // compressed, not empty, and never read before. The count of files kept.
  size_t FindSkipped(const struct statx_timestamp& after);
  // Opens the regular file `name` of the directory open on `dir`, not
  // following a symlink, as a rotated file at its end. Null when it cannot.
  std::unique_ptr<Rotated_File> OpenRotated(int dir, const char* name) const;
  // statx(2), without a birth time unless birth_times_.
  int Statx(int dir, const char* name, int flags, unsigned mask,
            struct statx* st) const;
  // When the file open on `fd` was born; zero where the file system keeps
  // no birth time.
  struct statx_timestamp BirthOf(int fd) const;
  // Remembers the current file's identity and head as read.
  void RememberRead();
  // Moves the current file to the end of the rotated files, making room.
  void KeepRotated();
  // Makes room for one more rotated file when MAXROTATEDLOGS are kept: the
  // oldest is read to its end, or let go unread in FollowUnread.
  void MakeRoom();
  // Reads the rotated file at `index` to its end when `read_rest`, delivers
  // its held line, remembers it as read and closes it.
  void FinishRotated(size_t index, bool read_rest);
  // Exchanges the current file (and, when `other_held` is given, the held
  // unfinished line) with `other`, so that the reading steps serve either.
  void Swap(Open_File* other, Line_Splitter* other_held);
  // Reads from the offset to the end, or as far as the budget allows, and
  // advances the offset. 0, or -1 (a failure to take).
  int ReadAppended();

  const std::string path_;
  const View view_;
  Reader* const reader_;

  // The current file's identity (its stream, descriptor and offset are the
  // View's).
  dev_t device_ = 0;
  ino_t inode_ = 0;
  uid_t owner_ = 0;
  Head_Copy head_;
  bool identity_known_ = false;
  struct statx_timestamp born_ = {};
  // Whether an open failure is to be traced now (the same failure again is
  // traced once a minute).
  bool TraceOpenFailure();
  // The errno value of the last failed open; 0 after one that worked.
  int open_errno_ = 0;
  Repeat_Limiter open_traces_;
  // The file Open opened, until Start.
  Open_File opened_;
  // The rotated files still read, oldest first; at most MAXROTATEDLOGS.
  std::vector<std::unique_ptr<Rotated_File>> rotated_;
  // The last files read to their end (a ring of MAXREADLOGS).
  Read_File read_[MAXREADLOGS];
  size_t read_next_ = 0;
  int64_t budget_ = INT64_MAX;
  // When the current file was last seen under the name (the coarse
  // real-time clock, which stamps files): a file born later that is no
  // longer there came and went between two looks.
  struct statx_timestamp seen_at_ = {};
  // When Open opened the file, for seen_at_.
  struct statx_timestamp opened_at_ = {};
  // The name names a directory now: the old file is still read.
  bool name_is_directory_ = false;
  bool opened_before_ = false;
  bool birth_times_ = true;
  bool quiet_missing_ = false;
  // In FollowUnread: nothing is read.
  bool unread_ = false;
  // A FollowUnread failed since the last pass.
  bool unread_failed_ = false;
  // What Publish last returned.
  Log_Position published_;
  bool published_known_ = false;
  // read_next_ when Publish last returned: the files read changed since.
  size_t published_read_next_ = 0;
  Failure failure_ = TAIL_OK;
};

#endif  // QOR_AGENT_FOLLOW_FILE_TAIL_H_
