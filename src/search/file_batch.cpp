#include "search/file_batch.h"

#include <errno.h>
#include <fcntl.h>
#include <liburing.h>
#include <unistd.h>

#include <memory>

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

// All three operations must be there, or the ring is of no use.
bool Supports(io_uring& ring) {
  io_uring_probe* probe = io_uring_get_probe_ring(&ring);
  if (probe == nullptr) return false;
  const bool all = io_uring_opcode_supported(probe, IORING_OP_OPENAT) &&
                   io_uring_opcode_supported(probe, IORING_OP_CLOSE) &&
                   io_uring_opcode_supported(probe, IORING_OP_READ);
  io_uring_free_probe(probe);
  return all;
}

}  // namespace

struct FileBatch::Ring {
  io_uring ring{};
  bool ready = false;
  ~Ring() {
    if (ready) io_uring_queue_exit(&ring);
  }
  // Never more than kRingEntries wait at a time, so there is always a free entry.
  io_uring_sqe* Next() { return io_uring_get_sqe(&ring); }
};

FileBatch::~FileBatch() {
  Release();
}

FileBatch& FileBatch::ThisThread() {
  thread_local FileBatch batch;
  return batch;
}

bool FileBatch::Ready() {
  if (failed_ && ring_ != nullptr) {  // given up: entries it did not take go nowhere
    delete ring_;
    ring_ = nullptr;
  }
  if (failed_ || !kRingAllowed) return false;
  if (ring_ != nullptr) return true;
  auto ring = std::make_unique<Ring>();
  io_uring_params params{};
  // Without SUBMIT_ALL (older kernels) an entry the kernel refuses ends the submission there;
  // SubmitAndWait copes with that.
  params.flags = IORING_SETUP_SUBMIT_ALL;
  int r = io_uring_queue_init_params(kRingEntries, &ring->ring, &params);
  if (r == -EINVAL) {
    params = {};
    r = io_uring_queue_init_params(kRingEntries, &ring->ring, &params);
  }
  ring->ready = r == 0;
  if (!ring->ready || !Supports(ring->ring)) {
    failed_ = true;
    return false;
  }
  reads_ = (params.features & IORING_FEAT_RW_CUR_POS) != 0;
  ring_ = ring.release();
  return true;
}

unsigned FileBatch::SubmitAndWait(unsigned count) {
  io_uring& ring = ring_->ring;
  int r;
  do {
    r = io_uring_submit_and_wait(&ring, count);
  } while (r == -EINTR);
  const unsigned submitted = r > 0 ? static_cast<unsigned>(r) : 0;
  // Wait for every answer to what the kernel took: a read still in flight would write into a
  // buffer the caller is about to reuse.
  while (io_uring_cq_ready(&ring) < submitted) {
    io_uring_cqe* cqe = nullptr;
    r = io_uring_wait_cqe_nr(&ring, &cqe, submitted);
    if (r < 0 && r != -EINTR) break;
  }
  if (submitted < count || io_uring_cq_ready(&ring) < submitted) {
    // Entries the kernel left would go with the next submission, long after their buffers and
    // names are gone: the ring is given up (after this call's answers are read) and the caller
    // does the rest one by one, as it does from now on.
    failed_ = true;
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
    io_uring_sqe* sqe = ring.Next();
    io_uring_prep_close(sqe, pending_[i]);
    io_uring_sqe_set_data64(sqe, i);
  }
  const unsigned taken = SubmitAndWait(static_cast<unsigned>(count));
  io_uring_cq_advance(&ring.ring, io_uring_cq_ready(&ring.ring));
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
    io_uring_sqe* sqe = ring.Next();
    io_uring_prep_openat(sqe, dirFd, names[i], flags, 0);
    io_uring_sqe_set_data64(sqe, i);
    fds[i] = -2;  // not answered yet
  }
  const unsigned taken = SubmitAndWait(static_cast<unsigned>(count));
  unsigned head, seen = 0;
  io_uring_cqe* cqe;
  io_uring_for_each_cqe(&ring.ring, head, cqe) {
    ++seen;
    if (cqe->user_data < count) fds[cqe->user_data] = cqe->res >= 0 ? cqe->res : -1;
  }
  io_uring_cq_advance(&ring.ring, seen);
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
    io_uring_sqe* sqe = ring.Next();
    // At the file's own offset, moved on as read() does.
    io_uring_prep_read(sqe, fds[i], buffers[i], static_cast<unsigned>(lengths[i]), -1);
    io_uring_sqe_set_data64(sqe, i);
    got[i] = -3;  // not answered
  }
  const unsigned taken = SubmitAndWait(static_cast<unsigned>(count));
  unsigned head, seen = 0;
  io_uring_cqe* cqe;
  io_uring_for_each_cqe(&ring.ring, head, cqe) {
    ++seen;
    // A file opened without waiting is not waited for: -EAGAIN, with nothing read.
    if (cqe->user_data < count)
      got[cqe->user_data] = cqe->res >= 0 ? cqe->res : cqe->res == -EAGAIN ? -2 : -1;
  }
  io_uring_cq_advance(&ring.ring, seen);
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
