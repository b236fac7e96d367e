// Tells when a CPU ran nothing at all: a real-time thread on each CPU asks to wake every 2 ms,
// and no thread of ordinary priority can keep it waiting. Every wake-up more than 2 ms late is
// printed as "stall CPU FROM TO" (CLOCK_MONOTONIC ns, FROM when it was due): a stretch in which
// that CPU did not run even its most urgent thread, because the host had stopped it (on a
// virtual machine) or the kernel there could not be interrupted. Runs until killed. Needs root
// (or a real-time limit for the user).
//
//   stall_witness > FILE
#define _GNU_SOURCE
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

enum { kPeriodNs = 2000000, kLateNs = 2000000 };

static pthread_mutex_t g_out = PTHREAD_MUTEX_INITIALIZER;

static int64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static void* watch(void* arg) {
  const int cpu = (int)(intptr_t)arg;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  const struct sched_param param = {.sched_priority = 50};
  if (pthread_setaffinity_np(pthread_self(), sizeof set, &set) != 0 ||
      pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0) {
    fprintf(stderr, "stall_witness: cannot run as a real-time thread on CPU %d\n", cpu);
    exit(2);
  }
  const int timer = timerfd_create(CLOCK_MONOTONIC, 0);
  const struct itimerspec every = {{0, kPeriodNs}, {0, kPeriodNs}};
  if (timer < 0 || timerfd_settime(timer, 0, &every, NULL) != 0) exit(2);
  int64_t last = now_ns();
  for (;;) {
    uint64_t fired;
    if (read(timer, &fired, sizeof fired) != sizeof fired) exit(2);
    const int64_t woke = now_ns();
    if (woke - last > kPeriodNs + kLateNs) {
      pthread_mutex_lock(&g_out);
      printf("stall %d %lld %lld\n", cpu, (long long)(last + kPeriodNs), (long long)woke);
      fflush(stdout);
      pthread_mutex_unlock(&g_out);
    }
    last = woke;
  }
  return NULL;
}

int main(void) {
  // Every CPU this program may run on, as nproc counts them: their numbers need not be 0 to N-1.
  cpu_set_t usable;
  if (sched_getaffinity(0, sizeof usable, &usable) != 0) return 2;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &usable)) continue;
    pthread_t thread;
    if (pthread_create(&thread, NULL, watch, (void*)(intptr_t)cpu) != 0) return 2;
  }
  pause();
  return 0;
}
