#include "platform/session_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace findlark {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP};

volatile sig_atomic_t g_writeFd = -1;

// Async-signal-safe: one byte into the pipe, errno left as it was.
void OnSignal(int sig) {
  const int saved = errno;
  const char byte = static_cast<char>(sig);
  if (g_writeFd >= 0 && ::write(g_writeFd, &byte, 1) < 0) {
    // A full pipe already holds a wake-up; nothing else can be done here.
  }
  errno = saved;
}

}  // namespace

SessionSignals::SessionSignals(QObject* parent) : QObject(parent) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_) != 0) return;
  g_writeFd = fds_[0];
  notifier_ = new QSocketNotifier(fds_[1], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &SessionSignals::OnReadable);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int sig : kSignals) ::sigaction(sig, &action, nullptr);
}

SessionSignals::~SessionSignals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (const int sig : kSignals) ::sigaction(sig, &action, nullptr);
  g_writeFd = -1;
  for (const int fd : fds_)
    if (fd >= 0) ::close(fd);
}

void SessionSignals::OnReadable() {
  char buffer[64];
  bool any = false;
  for (;;) {
    const ssize_t n = ::read(fds_[1], buffer, sizeof buffer);
    if (n > 0) {
      any = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  if (any) emit endRequested();
}

}  // namespace findlark
