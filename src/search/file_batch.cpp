#include "search/file_batch.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace findlark {
namespace {

constexpr unsigned kRingEntries = 64;

// The thread checker follows descriptors only through the calls it sees: one opened or closed
// in the ring would look like a race once its number is used again on another thread.
#if defined(__SANITIZE_THREAD__)
constexpr bool kRingAllowed = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kRingAllowed = false;
#else
constexpr bool kRingAllowed = true;
#endif
#else
constexpr bool kRingAllowed = true;
#endif
static_assert(FileBatch::kMaxClose <= kRingEntries && FileBatch::kMaxOpen <= kRingEntries);

int RingSetup(unsigned entries, io_uring_params* params) {
  return static_cast<int>(syscall(__NR_io_uring_setup, entries, params));
}

int RingEnter(int fd, unsigned submit, unsigned wait) {
  return static_cast<int>(syscall(__NR_io_uring_enter, fd, submit, wait,
                                  wait > 0 ? IORING_ENTER_GETEVENTS : 0, nullptr, 0));
}

// Both operations must be there, or the ring is of no use.
bool Supports(int ringFd) {
  constexpr unsigned kOps = 64;
  std::vector<unsigned char> space(sizeof(io_uring_probe) + kOps * sizeof(io_uring_probe_op));
  auto* probe = reinterpret_cast<io_uring_probe*>(space.data());
  if (syscall(__NR_io_uring_register, ringFd, IORING_REGISTER_PROBE, probe, kOps) < 0) return false;
  const auto has = [&](unsigned op) {
    return op <= probe->last_op && (probe->ops[op].flags & IO_URING_OP_SUPPORTED) != 0;
  };
  return has(IORING_OP_OPENAT) && has(IORING_OP_CLOSE) && has(IORING_OP_READ);
}

unsigned Load(const unsigned* p) {
  return std::atomic_ref<const unsigned>(*p).load(std::memory_order_acquire);
}
void Store(unsigned* p, unsigned v) {
  std::atomic_ref<unsigned>(*p).store(v, std::memory_order_release);
}

}  // namespace

struct FileBatch::Ring {
  int fd = -1;
  void* sqMap = MAP_FAILED;
  size_t sqLen = 0;
  void* cqMap = MAP_FAILED;
  size_t cqLen = 0;
  void* sqeMap = MAP_FAILED;
  size_t sqeLen = 0;
  unsigned* sqHead = nullptr;
  unsigned* sqTail = nullptr;
  unsigned* sqArray = nullptr;
  unsigned sqMask = 0;
  unsigned* cqHead = nullptr;
  unsigned* cqTail = nullptr;
  unsigned cqMask = 0;
  io_uring_cqe* cqes = nullptr;
  io_uring_sqe* sqes = nullptr;

  ~Ring() {
    if (sqeMap != MAP_FAILED) munmap(sqeMap, sqeLen);
    if (cqMap != MAP_FAILED && cqMap != sqMap) munmap(cqMap, cqLen);
    if (sqMap != MAP_FAILED) munmap(sqMap, sqLen);
    if (fd >= 0) close(fd);
  }

  bool Map(const io_uring_params& p) {
    sqLen = p.sq_off.array + p.sq_entries * sizeof(unsigned);
    cqLen = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
    const bool single = (p.features & IORING_FEAT_SINGLE_MMAP) != 0;
    if (single) sqLen = cqLen = std::max(sqLen, cqLen);
    sqMap = mmap(nullptr, sqLen, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd,
                 IORING_OFF_SQ_RING);
    if (sqMap == MAP_FAILED) return false;
    cqMap = single ? sqMap
                   : mmap(nullptr, cqLen, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd,
                          IORING_OFF_CQ_RING);
    if (cqMap == MAP_FAILED) return false;
    sqeLen = p.sq_entries * sizeof(io_uring_sqe);
    sqeMap = mmap(nullptr, sqeLen, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd,
                  IORING_OFF_SQES);
    if (sqeMap == MAP_FAILED) return false;
    auto* sq = static_cast<char*>(sqMap);
    auto* cq = static_cast<char*>(cqMap);
    sqHead = reinterpret_cast<unsigned*>(sq + p.sq_off.head);
    sqTail = reinterpret_cast<unsigned*>(sq + p.sq_off.tail);
    sqArray = reinterpret_cast<unsigned*>(sq + p.sq_off.array);
    sqMask = *reinterpret_cast<unsigned*>(sq + p.sq_off.ring_mask);
    cqHead = reinterpret_cast<unsigned*>(cq + p.cq_off.head);
    cqTail = reinterpret_cast<unsigned*>(cq + p.cq_off.tail);
    cqMask = *reinterpret_cast<unsigned*>(cq + p.cq_off.ring_mask);
    cqes = reinterpret_cast<io_uring_cqe*>(cq + p.cq_off.cqes);
    sqes = static_cast<io_uring_sqe*>(sqeMap);
    return true;
  }

  // The next free entry, cleared; only ever called for fewer than kRingEntries at a time.
  io_uring_sqe* Next(uint64_t tag) {
    const unsigned tail = *sqTail;
    const unsigned index = tail & sqMask;
    io_uring_sqe* sqe = &sqes[index];
    std::memset(sqe, 0, sizeof *sqe);
    sqe->user_data = tag;
    sqArray[index] = index;
    Store(sqTail, tail + 1);
    return sqe;
  }
};

FileBatch::~FileBatch() {
  Release();
}

FileBatch& FileBatch::ThisThread() {
  thread_local FileBatch batch;
  return batch;
}

bool FileBatch::Ready() {
  if (failed_ || !kRingAllowed) return false;
  if (ring_ != nullptr) return true;
  auto ring = std::make_unique<Ring>();
  io_uring_params params{};
  // Without SUBMIT_ALL (older kernels) an entry the kernel refuses ends the submission there;
  // SubmitAndWait copes with that.
  params.flags = IORING_SETUP_SUBMIT_ALL;
  ring->fd = RingSetup(kRingEntries, &params);
  if (ring->fd < 0 && errno == EINVAL) {
    params = {};
    ring->fd = RingSetup(kRingEntries, &params);
  }
  if (ring->fd < 0 || !Supports(ring->fd) || !ring->Map(params)) {
    failed_ = true;
    return false;
  }
  reads_ = (params.features & IORING_FEAT_RW_CUR_POS) != 0;
  ring_ = ring.release();
  return true;
}

unsigned FileBatch::SubmitAndWait(unsigned count) {
  Ring& ring = *ring_;
  const unsigned first = Load(ring.sqHead);
  unsigned submitted = 0;
  while (submitted < count) {
    const int r = RingEnter(ring.fd, count - submitted, 0);
    if (r > 0) {
      submitted += static_cast<unsigned>(r);
    } else if (r == 0 || errno != EINTR) {
      break;
    }
  }
  if (submitted < count) {
    // The kernel reads entries only inside io_uring_enter: the ones it left are taken back, for
    // the caller to do one by one.
    Store(ring.sqTail, first + submitted);
  }
  for (;;) {
    const unsigned ready = Load(ring.cqTail) - *ring.cqHead;
    if (ready >= submitted) break;
    if (RingEnter(ring.fd, 0, submitted - ready) < 0 && errno != EINTR) {
      // Cannot happen on a working ring; stop using it rather than wait for ever.
      failed_ = true;
      break;
    }
  }
  return submitted;
}

void FileBatch::Close(int fd) {
  if (fd < 0) return;
  if (failed_) {
    close(fd);
    return;
  }
  pending_[pendingCount_++] = fd;
  if (pendingCount_ == kMaxClose) Flush();
}

void FileBatch::Flush() {
  const size_t count = pendingCount_;
  pendingCount_ = 0;
  if (count == 0) return;
  if (count == 1 || !Ready()) {
    for (size_t i = 0; i < count; ++i) close(pending_[i]);
    return;
  }
  Ring& ring = *ring_;
  for (size_t i = 0; i < count; ++i) {
    io_uring_sqe* sqe = ring.Next(i);
    sqe->opcode = IORING_OP_CLOSE;
    sqe->fd = pending_[i];
  }
  const unsigned taken = SubmitAndWait(static_cast<unsigned>(count));
  Store(ring.cqHead, Load(ring.cqTail));
  // What the kernel took is closed whatever its answer; never twice, as the number may be reused.
  for (size_t i = taken; i < count; ++i) close(pending_[i]);
}

void FileBatch::OpenAll(int dirFd, const char* const* names, size_t count, int flags, int* fds) {
  if (count <= 1 || !Ready()) {
    for (size_t i = 0; i < count; ++i) fds[i] = openat(dirFd, names[i], flags);
    return;
  }
  Ring& ring = *ring_;
  for (size_t i = 0; i < count; ++i) {
    io_uring_sqe* sqe = ring.Next(i);
    sqe->opcode = IORING_OP_OPENAT;
    sqe->fd = dirFd;
    sqe->addr = reinterpret_cast<uintptr_t>(names[i]);
    sqe->open_flags = static_cast<uint32_t>(flags);
    fds[i] = -2;  // not answered yet
  }
  const unsigned taken = SubmitAndWait(static_cast<unsigned>(count));
  unsigned head = *ring.cqHead;
  for (const unsigned tail = Load(ring.cqTail); head != tail; ++head) {
    const io_uring_cqe& cqe = ring.cqes[head & ring.cqMask];
    if (cqe.user_data < count) fds[cqe.user_data] = cqe.res >= 0 ? cqe.res : -1;
  }
  Store(ring.cqHead, head);
  for (size_t i = 0; i < count; ++i) {
    if (fds[i] == -2) fds[i] = i < taken ? -1 : openat(dirFd, names[i], flags);
  }
}

void FileBatch::ReadAll(const int* fds, char* const* buffers, const size_t* lengths, size_t count,
                        ssize_t* got) {
  if (count <= 1 || !Ready() || !reads_) {
    for (size_t i = 0; i < count; ++i) {
      do {
        got[i] = read(fds[i], buffers[i], lengths[i]);
      } while (got[i] < 0 && errno == EINTR);
    }
    return;
  }
  Ring& ring = *ring_;
  for (size_t i = 0; i < count; ++i) {
    io_uring_sqe* sqe = ring.Next(i);
    sqe->opcode = IORING_OP_READ;
    sqe->fd = fds[i];
    sqe->addr = reinterpret_cast<uintptr_t>(buffers[i]);
    sqe->len = static_cast<uint32_t>(lengths[i]);
    sqe->off = static_cast<uint64_t>(-1);  // the file's own offset, moved on
    got[i] = -3;                           // not answered
  }
  const unsigned taken = SubmitAndWait(static_cast<unsigned>(count));
  unsigned head = *ring.cqHead;
  for (const unsigned tail = Load(ring.cqTail); head != tail; ++head) {
    const io_uring_cqe& cqe = ring.cqes[head & ring.cqMask];
    // A file opened without waiting is not waited for: -EAGAIN, with nothing read.
    if (cqe.user_data < count)
      got[cqe.user_data] = cqe.res >= 0 ? cqe.res : cqe.res == -EAGAIN ? -2 : -1;
  }
  Store(ring.cqHead, head);
  // One the kernel took and never answered may still move the offset: no read of it can be
  // trusted.
  for (size_t i = 0; i < count; ++i) {
    if (got[i] == -3) got[i] = i < taken ? -1 : -2;
  }
}

void FileBatch::Release() {
  Flush();
  delete ring_;
  ring_ = nullptr;
}

}  // namespace findlark
