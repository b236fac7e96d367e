#include "run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace findlark::testing {
namespace {

constexpr auto kHangGuard = std::chrono::minutes(3);

struct Channel {
  int parentFd = -1;
  int childFd = -1;
};

Channel MakeChannel(bool terminal) {
  Channel c;
  if (terminal) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);  // no CR LF translation: the bytes read are the bytes written
    tcsetattr(slave, TCSANOW, &raw);
    c.parentFd = master;
    c.childFd = slave;
  } else {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    c.parentFd = fds[0];
    c.childFd = fds[1];
  }
  fcntl(c.parentFd, F_SETFD, FD_CLOEXEC);
  return c;
}

}  // namespace

ProcessResult RunProcess(const ProcessSpec& spec) {
  Channel out = MakeChannel(spec.stdoutTerminal);
  Channel err = MakeChannel(false);

  std::vector<char*> argv;
  for (const std::string& a : spec.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // Whatever the test runner ignores must not leak into the program under test.
    signal(SIGINT, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    dup2(out.childFd, STDOUT_FILENO);
    dup2(err.childFd, STDERR_FILENO);
    if (!spec.cwd.empty() && chdir(spec.cwd.c_str()) != 0) _exit(126);
    for (const std::string& e : spec.env) putenv(const_cast<char*>(e.c_str()));
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out.childFd);
  close(err.childFd);

  ProcessResult result;
  auto deadline = std::chrono::steady_clock::now() + kHangGuard;
  bool outOpen = true;
  bool errOpen = true;
  char buffer[65536];
  while (outOpen || errOpen) {
    pollfd fds[2] = {{out.parentFd, POLLIN, 0}, {err.parentFd, POLLIN, 0}};
    if (!outOpen) fds[0].fd = -1;
    if (!errOpen) fds[1].fd = -1;
    int ready = poll(fds, 2, 1000);
    if (ready < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      result.hung = true;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {  // end of file; a pseudo-terminal says EIO once the child has gone
        (i == 0 ? outOpen : errOpen) = false;
        continue;
      }
      std::string& into = i == 0 ? result.out : result.err;
      into.append(buffer, static_cast<size_t>(n));
      if (i == 0 && spec.onOutput) spec.onOutput(pid, result.out);
    }
  }
  close(out.parentFd);
  close(err.parentFd);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace findlark::testing
