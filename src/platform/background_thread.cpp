#include "platform/background_thread.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

}  // namespace findlark
