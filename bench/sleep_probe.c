// Tells the machine's own late wake-ups from the window's: sleeps 5 ms at a time for SECONDS
// and counts the gaps over 16 ms, and among them those that were not a wait for a core (this
// thread's run delay, from schedstat) but the timer firing late. Run it beside
// window_million_bench: gaps it sees too are not the window's doing.
//
//   sleep_probe [SECONDS]
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double NowMs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Time this thread has waited for a core, in ms.
static double RunDelayMs(void) {
  unsigned long long cpu = 0, delay = 0;
  FILE* f = fopen("/proc/thread-self/schedstat", "r");
  if (f) {
    if (fscanf(f, "%llu %llu", &cpu, &delay) != 2) delay = 0;
    fclose(f);
  }
  return (double)delay / 1e6;
}

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 10;
  const struct timespec pause = {0, 5000000};
  const double end = NowMs() + seconds * 1e3;
  double last = NowMs(), lastDelay = RunDelayMs(), longestLate = 0;
  int probes = 0, over16 = 0, late16 = 0;
  while (NowMs() < end) {
    nanosleep(&pause, NULL);
    const double now = NowMs(), delay = RunDelayMs();
    const double gap = now - last, late = gap - (delay - lastDelay);
    last = now;
    lastDelay = delay;
    ++probes;
    if (gap > 16) ++over16;
    if (late > 16) ++late16;
    if (late > longestLate) longestLate = late;
  }
  printf("probes %d, gaps over 16 ms %d, of them %d the timer firing late; latest %.1f ms\n", probes,
         over16, late16, longestLate);
  return 0;
}
