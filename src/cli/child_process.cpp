#include "cli/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace findlark {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Leaves the way a signal would, so a calling shell sees it.
[[noreturn]] void DieBy(int signo) {
  signal(signo, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signo);
  _exit(128 + signo);
}

// The child's side: run, report, leave. The streams are let go before the report, so a pipe
// reader sees its end even while a held thread keeps this process from ending.
[[noreturn]] void ChildMain(const std::function<int()>& work, int report, const sigset_t& old) {
  // Terminal signals reach the waiting process alone, which hands them on one at a time.
  setpgid(0, 0);
  // If the waiting process is gone, stop as if asked.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  sigprocmask(SIG_SETMASK, &old, nullptr);
  const int status = work();
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  }
  const unsigned char byte = static_cast<unsigned char>(status);
  while (write(report, &byte, 1) < 0 && errno == EINTR) {
  }
  _exit(status);
}

// The status of a child that ended without a report (it crashed): as the shell would show it.
int StatusOfEnded(pid_t child) {
  int raw = 0;
  for (int tries = 0; tries < 100; ++tries) {
    const pid_t got = waitpid(child, &raw, WNOHANG);
    if (got == child) {
      if (WIFEXITED(raw)) return WEXITSTATUS(raw);
      if (WIFSIGNALED(raw)) DieBy(WTERMSIG(raw));
      return 2;
    }
    if (got < 0 && errno != EINTR) return 2;
    usleep(10000);
  }
  return 2;
}

// Waits a moment for a child that has reported to end, so that its time counts as this process's
// (for `time` and benchmarks) and no zombie is left; one held by the kernel is left to init.
void Reap(pid_t child) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  if (pidfd < 0) return;
  pollfd ended = {pidfd, POLLIN, 0};
  if (poll(&ended, 1, 200) == 1) waitpid(child, nullptr, WNOHANG);
  close(pidfd);
}

}  // namespace

int RunInChild(const std::function<int()>& work, std::chrono::milliseconds patience) {
  sigset_t set;
  sigemptyset(&set);
  for (int signo : kStopSignals) {
    // A shell starts background jobs with Ctrl-C ignored; leave it that way.
    struct sigaction current {};
    sigaction(signo, nullptr, &current);
    if (current.sa_handler != SIG_IGN) sigaddset(&set, signo);
  }
  sigset_t old;
  sigprocmask(SIG_BLOCK, &set, &old);
  const int signals = signalfd(-1, &set, SFD_CLOEXEC);
  int fds[2];
  if (signals < 0 || pipe2(fds, O_CLOEXEC) != 0) {
    if (signals >= 0) close(signals);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return work();
  }
  const pid_t child = fork();
  if (child == 0) {
    close(signals);
    close(fds[0]);
    ChildMain(work, fds[1], old);
  }
  close(fds[1]);
  if (child < 0) {
    close(fds[0]);
    close(signals);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return work();
  }

  int firstSignal = 0;
  Clock::time_point deadline = Clock::time_point::max();
  for (;;) {
    int timeout = -1;
    if (firstSignal != 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return 128 + firstSignal;  // the child is held: leave it
      timeout = static_cast<int>(left.count());
    }
    pollfd polled[2] = {{fds[0], POLLIN, 0}, {signals, POLLIN, 0}};
    if (poll(polled, 2, timeout) < 0 && errno != EINTR) return 2;
    if (polled[0].revents != 0) {
      unsigned char byte = 0;
      const ssize_t n = read(fds[0], &byte, 1);
      if (n == 1) {
        Reap(child);
        return byte;
      }
      if (n == 0) return StatusOfEnded(child);
    }
    signalfd_siginfo info{};
    if (polled[1].revents != 0 && read(signals, &info, sizeof info) == sizeof info) {
      const int signo = static_cast<int>(info.ssi_signo);
      kill(child, signo);
      if (firstSignal == 0) {
        firstSignal = signo;
        deadline = Clock::now() + patience;
      } else if (signo == SIGINT) {
        DieBy(SIGINT);
      }
    }
  }
}

}  // namespace findlark
