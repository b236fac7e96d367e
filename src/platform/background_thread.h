#pragma once

#include <pthread.h>
#include <sched.h>

#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace findlark {

// Marks the calling thread as background work: it runs as long as it is let, but waking it
// never takes the core from the thread that woke it (the window's, which must answer within a
// frame), and it is `lowerBy` steps nicer than it was. Its share of the machine against other
// programs stays the same: those run in sessions of their own, which the scheduler shares the
// machine between first. Does nothing where the system refuses.
void RunAsBackground(int lowerBy = 0);

// The CPUs a piece of work may spread its threads over: those the creating thread may run on,
// the one it runs on now first. On some machines (virtual ones that pack threads onto few
// CPUs) the scheduler leaves a woken thread waiting behind a running one for milliseconds
// while another CPU idles; threads kept on CPUs of their own never wait so.
class CpuSpread {
 public:
  CpuSpread();  // from the calling thread's mask and CPU
  size_t size() const { return cpus_.size(); }

  // Starts `body` on a new thread that begins on CPU `index` of the spread (modulo its size)
  // and, with `stay`, runs there alone; otherwise it then runs on any CPU of the spread. Left
  // alone, a new thread waits on its creator's CPU until the scheduler moves it. Throws as
  // std::thread does.
  std::thread Start(size_t index, bool stay, std::function<void()> body) const;
  // Keeps the calling thread on CPU 0 of the spread alone.
  void StayHere() const;
  // Lets `thread` run on any CPU of the spread again.
  void LetGo(pthread_t thread) const;

 private:
  cpu_set_t allowed_;
  std::vector<int> cpus_;
};

}  // namespace findlark
