#pragma once

namespace findlark {

// Marks the calling thread as background work: it runs as long as it is let, but waking it
// never takes the core from the thread that woke it (the window's, which must answer within a
// frame), and it is `lowerBy` steps nicer than it was. Its share of the machine against other
// programs stays the same: those run in sessions of their own, which the scheduler shares the
// machine between first. Does nothing where the system refuses.
void RunAsBackground(int lowerBy = 0);

}  // namespace findlark
