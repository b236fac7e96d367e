#pragma once

#include <functional>
#include <thread>

namespace findlark {

// Marks the calling thread as background work: it runs as long as it is let, but waking it
// never takes the core from the thread that woke it (the window's, which must answer within a
// frame), and it is `lowerBy` steps nicer than it was. Its share of the machine against other
// programs stays the same: those run in sessions of their own, which the scheduler shares the
// machine between first. Does nothing where the system refuses.
void RunAsBackground(int lowerBy = 0);

// Starts `body` on a new thread that begins on the allowed CPU `step` places after the
// caller's, and may then run on any the caller may. Left alone, a new thread waits on its
// creator's CPU until the scheduler moves it, which takes milliseconds that a short search does
// not have. Throws as std::thread does.
std::thread StartOnCpuAhead(int step, std::function<void()> body);

}  // namespace findlark
