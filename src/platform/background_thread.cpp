#include "platform/background_thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>

namespace findlark {

void RunAsBackground(int lowerBy) {
  const auto self = static_cast<id_t>(::gettid());
  if (lowerBy > 0) {
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, self);
    if (errno == 0) ::setpriority(PRIO_PROCESS, self, std::min(now + lowerBy, 19));
  }
  // A batch thread is scheduled as a normal one except that its wake-ups wait for the running
  // thread's turn to end; the niceness set above is kept. Only a normal thread is changed: an
  // idle or real-time one is the user's choice.
  if (::sched_getscheduler(0) != SCHED_OTHER) return;
  const sched_param param{};
  ::sched_setscheduler(0, SCHED_BATCH, &param);
}

CpuSpread::CpuSpread() {
  if (::sched_getaffinity(0, sizeof allowed_, &allowed_) != 0) {
    CPU_ZERO(&allowed_);
    return;
  }
  const int current = ::sched_getcpu();
  if (current >= 0 && current < CPU_SETSIZE && CPU_ISSET(current, &allowed_))
    cpus_.push_back(current);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed_) && cpu != current) cpus_.push_back(cpu);
  }
}

std::thread CpuSpread::Start(size_t index, bool stay, std::function<void()> body) const {
  if (cpus_.size() < 2) return std::thread(std::move(body));
  cpu_set_t first;
  CPU_ZERO(&first);
  CPU_SET(cpus_[index % cpus_.size()], &first);
  // The thread waits until it is placed: were it let go first, the placing would pin it for
  // good. Not the creator's mask: that may be a single CPU.
  auto placed = std::make_shared<std::atomic<int>>(0);
  std::thread thread([placed, stay, allowed = allowed_, body = std::move(body)] {
    placed->wait(0);
    if (!stay) ::sched_setaffinity(0, sizeof allowed, &allowed);
    body();
  });
  ::pthread_setaffinity_np(thread.native_handle(), sizeof first, &first);
  placed->store(1);
  placed->notify_one();
  return thread;
}

void CpuSpread::StayHere() const {
  if (cpus_.size() < 2) return;
  cpu_set_t here;
  CPU_ZERO(&here);
  CPU_SET(cpus_[0], &here);
  ::sched_setaffinity(0, sizeof here, &here);
}

void CpuSpread::LetGo(pthread_t thread) const {
  if (cpus_.size() >= 2) ::pthread_setaffinity_np(thread, sizeof allowed_, &allowed_);
}

}  // namespace findlark
