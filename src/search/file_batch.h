#pragma once

#include <sys/types.h>

#include <cstddef>

namespace findlark {

// Opens and closes many files for one system call instead of one each, through an io_uring of
// this thread's own where the kernel offers one (not every kernel or sandbox does: then each
// file takes its own call, with the same results). On a virtual machine the calls themselves,
// not the work behind them, are most of what a search for a rare text costs.
class FileBatch {
 public:
  // Descriptors waiting to be closed at most, and files opened at once.
  static constexpr size_t kMaxClose = 32;
  static constexpr size_t kMaxOpen = 32;

  FileBatch() = default;
  ~FileBatch();
  FileBatch(const FileBatch&) = delete;
  FileBatch& operator=(const FileBatch&) = delete;

  // The thread's own; its descriptors are closed when the thread ends, or by Release.
  static FileBatch& ThisThread();

  // `fd` is closed by the next Flush at the latest; Flush comes by itself once kMaxClose wait.
  void Close(int fd);
  void Flush();
  // Flushes and gives up the ring, so that the thread holds no descriptor of its own.
  void Release();
  // Sets the ring up now rather than at the first call that needs it.
  void Prepare() { Ready(); }

  // Opens each of `names` (at most kMaxOpen) relative to `dirFd` with `flags`; `fds[i]` gets the
  // descriptor or -1.
  void OpenAll(int dirFd, const char* const* names, size_t count, int flags, int* fds);

  // Reads up to `lengths[i]` bytes of each of `fds` (at most kMaxOpen) into `buffers[i]` from its
  // current offset, as read() would; `got[i]` gets the count, -1 on an error, or -2 when nothing
  // was read because it would have waited for the disk (the caller then reads it itself).
  void ReadAll(const int* fds, char* const* buffers, const size_t* lengths, size_t count,
               ssize_t* got);

 private:
  struct Ring;
  bool Ready();
  // Hands the queued entries to the kernel and waits for them; returns how many it took, the
  // first ones (the rest are left to the caller).
  unsigned SubmitAndWait(unsigned count);

  Ring* ring_ = nullptr;
  bool failed_ = false;  // no ring to be had: every call on its own
  bool reads_ = false;   // the ring reads at a file's own offset
  int pending_[kMaxClose];
  size_t pendingCount_ = 0;
};

}  // namespace findlark
