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

std::thread StartOnCpuAhead(int step, std::function<void()> body) {
  cpu_set_t allowed;
  if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2)
    return std::thread(std::move(body));
  int cpus[CPU_SETSIZE];
  int count = 0;
  int here = 0;
  const int current = ::sched_getcpu();
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    if (cpu == current) here = count;
    cpus[count++] = cpu;
  }
  cpu_set_t first;
  CPU_ZERO(&first);
  CPU_SET(cpus[(here + step % count + count) % count], &first);

  // The thread waits until it is placed: were it let go first, the placing would pin it for
  // good.
  auto placed = std::make_shared<std::atomic<int>>(0);
  std::thread thread([placed, allowed, body = std::move(body)] {
    placed->wait(0);
    ::sched_setaffinity(0, sizeof allowed, &allowed);
    body();
  });
  ::pthread_setaffinity_np(thread.native_handle(), sizeof first, &first);
  placed->store(1);
  placed->notify_one();
  return thread;
}

}  // namespace findlark
