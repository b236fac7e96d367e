#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace findlark::testing {

struct ProcessResult {
  int exitCode = -1;  // -1 when killed by a signal
  int signal = 0;     // the signal that ended it, or 0
  bool hung = false;  // killed by the guard after running far too long
  std::string out;
  std::string err;
};

struct ProcessSpec {
  std::vector<std::string> argv;
  std::string cwd;               // empty: inherit
  std::vector<std::string> env;  // "NAME=value" added to (or replacing in) the environment
  bool stdoutTerminal = false;   // stdout is a pseudo-terminal instead of a pipe
  // Called after each chunk of stdout arrives, with everything read so far.
  std::function<void(pid_t pid, const std::string& outSoFar)> onOutput;
};

// Runs the process to its end, collecting stdout and stderr. Only a process that runs for
// minutes is killed (and reported as hung), so a broken program fails instead of blocking.
ProcessResult RunProcess(const ProcessSpec& spec);

}  // namespace findlark::testing
