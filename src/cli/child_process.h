#pragma once

#include <chrono>
#include <functional>

namespace findlark {

// Runs `work` in a child process and returns the exit status it reports.
//
// A thread held in the kernel by a folder that never answers (a dead network mount) keeps its
// process from ending, and a shell waits for the process it started. So that process only
// waits: the search runs in a child with the same standard streams, which reports its status on
// a pipe once its output is written. SIGINT, SIGTERM and SIGHUP are handed on to the child; when
// it has not reported `patience` after one, this process leaves anyway with 128 + the signal's
// number. A second SIGINT leaves at once. Where no child can be made, `work` runs here.
int RunInChild(const std::function<int()>& work, std::chrono::milliseconds patience);

}  // namespace findlark
