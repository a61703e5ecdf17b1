// MemFs: an in-memory FileSystem for the engine's tests and fuzzers.
//
// A directory tree of inodes, descriptors and shared mappings with the POSIX
// behaviour the engine relies on, plus three test controls:
//   - faults: the n-th counted call fails with an errno, or transfers fewer
//     bytes than asked;
//   - hooks: code run between two calls, such as taking a Clone() of the
//     files as they stand after the n-th call;
//   - power loss: Crash() builds the MemFs a reboot could find. Each file
//     keeps its bytes as of its last fsync plus a prefix of its later writes
//     and length changes; each directory its entries as of its last fsync
//     plus a prefix of its later creations, renames and unlinks. A failed
//     fsync or fdatasync drops the file's changes since its last sync, as
//     Linux drops the pages it could not write: they stay readable, but
//     reach the disk only if written again.
//
// A mapping has its own buffer, the authority for its range, so its address
// stays put while the file's length changes; its bytes are folded into the
// file (as an unsynced write) before any other call looks at that inode.
//
// A hook (say, a reader refreshing in the middle of a writer's persist)
// makes calls that are neither counted nor traced.
//
// Every call is counted and traced under the name of the system call it
// stands for ("open", "pwrite", "fstat", "lseek", "stat", "ftruncate", "fsync",
// "fdatasync", "rename", "unlink", "mkdir", "flock", "fcntl", "statfs",
// "mmap", "munmap", "msync", ...).
//
// Thread-safety: none; one test thread drives it.

#ifndef MARROW_TESTS_ENGINE_MEM_FS_H_
#define MARROW_TESTS_ENGINE_MEM_FS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/fs.h"

namespace marrow::store::testing {

// What a power loss leaves of the writes that were not synced.
enum class Outcome : uint8_t {
  kNoneReached,  // only what was synced
  kAllReached,   // everything, as after a crash of the process alone
  kPrefix,       // per file and directory a random prefix; writes may be cut
                 // at a 4 KiB boundary, mapping bytes may or may not arrive
  kZeroTail,     // as kPrefix, but a file's new length arrives without its
                 // new bytes, which read back as zeros
};

class MemFs final : public FileSystem {
 public:
  struct Traced {
    std::string_view call;  // the system call's name
    std::string path;
  };

  MemFs() { inodes_[1].dir = true; }  // the root

  // The n-th counted call from now (1-based) fails with `error`, or with
  // `error` 0 moves half the bytes asked; n 0 disarms.
  void FailCall(uint64_t nth, int error);
  // After the n-th counted call from now, `hook` runs once, before the next
  // call starts or at RunHook(), whichever comes first.
  void AfterCall(uint64_t nth, std::function<void()> hook);
  void RunHook();
  bool fault_fired() const { return fired_; }
  // Every counted call since construction, with the path it concerned.
  const std::vector<Traced>& trace() const { return trace_; }

  // The files and directories with their durability state; no descriptors.
  std::unique_ptr<MemFs> Clone();
  // What a reboot after a power loss now could find.
  std::unique_ptr<MemFs> Crash(Outcome outcome, uint64_t seed);
  // Whether Crash() left a file longer than its data.
  bool zero_tail() const { return zero_tail_; }

  // Creates or replaces a whole file, durable at once.
  void WriteFile(const std::string& path, const std::string& bytes);

  int Open(const char* path, int flags, mode_t mode) override;
  int Close(int fd) override;
  ssize_t Write(int fd, const void* buf, size_t n) override;
  // One write of the pieces joined: faults and short transfers as for one.
  ssize_t WriteGather(int fd,
                      std::span<const std::string_view> pieces) override;
  ssize_t Pread(int fd, void* buf, size_t n, uint64_t offset) override;
  ssize_t Pwrite(int fd, const void* buf, size_t n, uint64_t offset) override;
  int Stat(int fd, FileInfo* info) override;
  int64_t SeekEnd(int fd) override;
  int StatPath(const char* path, FileInfo* info) override;
  int Truncate(int fd, uint64_t length) override;
  int Fsync(int fd) override { return Sync(fd, "fsync"); }
  int Fdatasync(int fd) override { return Sync(fd, "fdatasync"); }
  int Rename(const char* from, const char* to) override;
  int Unlink(const char* path) override;
  int MakeDirectory(const char* path, mode_t mode) override;
  int LockExclusive(int fd) override;
  int LockShared(int fd) override;
  int LockRange(int fd, RangeLock kind, uint64_t start, uint64_t len,
                bool wait) override;
  int FileSystemType(const char* path, uint64_t* type) override;
  void* Map(int fd, uint64_t length, bool read_only) override;
  int Unmap(void* addr, uint64_t length) override;
  int SyncMapping(void* addr, uint64_t length) override;

 private:
  // A write (or, with `resize`, a length change to `offset`) not yet synced.
  struct Change {
    uint64_t offset = 0;
    std::string bytes;
    bool resize = false, from_map = false;
  };
  // Name -> inode (0: the name is removed), applied together.
  using DirChange = std::vector<std::pair<std::string, uint64_t>>;
  // Copy-on-write bytes: clones and synced copies share until written.
  struct Bytes {
    std::shared_ptr<std::string> p = std::make_shared<std::string>();
    const std::string& operator*() const { return *p; }
    const std::string* operator->() const { return p.get(); }
    std::string& Mut() {
      if (p.use_count() > 1) p = std::make_shared<std::string>(*p);
      return *p;
    }
  };
  struct Inode {
    bool dir = false;
    Bytes data, durable;
    std::vector<Change> pending;
    bool dropped = false;  // a failed sync dropped changes: durable lags data
    std::map<std::string, uint64_t> entries, durable_entries;
    std::vector<DirChange> dir_pending;
  };
  struct Fd {
    uint64_t ino = 0, pos = 0;
    int flags = 0;
    std::string path;
  };
  struct Mapped {
    uint64_t ino = 0, length = 0;
    bool read_only = false;  // never differs from the file: nothing to fold
    std::unique_ptr<char[]> bytes;
    std::string path;
  };

  // Counts a call; true (with errno set) when it must fail.
  bool Fault(std::string_view call, const std::string& path,
             size_t* n = nullptr);
  // The inode of `path` (0 with errno if none), the directory of its last
  // step (0 if an earlier one is missing) and that step's name.
  struct Found {
    uint64_t ino = 0, parent = 0;
    std::string name;
  };
  Found Lookup(const std::string& path);
  Fd* Desc(int fd, std::string_view call, size_t* n = nullptr);
  Mapped* FindMap(void* addr, std::string_view call);
  // Mapping bytes into the file, and the file's bytes into its mappings.
  void Fold(uint64_t ino);
  // Only [from, to) changed when `to` is given (a write that did not shrink).
  void Propagate(uint64_t ino, uint64_t from = 0, uint64_t to = UINT64_MAX);
  void ChangeDir(uint64_t dir, DirChange change);
  ssize_t WriteAt(Fd& f, const void* buf, size_t n, uint64_t at);
  int Sync(int fd, std::string_view call);
  // A successful sync: the changes since the last one become durable.
  int Written(uint64_t ino);
  // Makes the inode's bytes and entries durable; returns 0.
  int Settle(uint64_t ino);
  int Info(uint64_t ino, FileInfo* info);
  uint64_t NewInode(bool dir);

  std::map<uint64_t, Inode> inodes_;
  uint64_t next_ino_ = 2;
  std::map<int, Fd> fds_;
  int next_fd_ = 3;
  std::map<uint64_t, int> locks_;  // directory inode -> descriptor
  std::vector<Mapped> maps_;

  uint64_t fail_at_ = 0, counted_ = 0;
  int fail_error_ = 0;
  bool fired_ = false, zero_tail_ = false;
  uint64_t hook_at_ = 0;
  std::function<void()> hook_;
  std::vector<Traced> trace_;
};

}  // namespace marrow::store::testing

#endif  // MARROW_TESTS_ENGINE_MEM_FS_H_
