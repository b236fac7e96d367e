#include "search/pdf_text.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace findlark {
namespace {

// Stop is looked at this often while the extractor works.
constexpr int kPollSliceMs = 100;

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

bool CanRun(const std::string& path) {
  return !path.empty() && access(path.c_str(), X_OK) == 0;
}

}  // namespace

PdfExtractor::PdfExtractor() : PdfExtractor(DefaultExtractor(), FindLauncher(), Limits{}) {}

PdfExtractor::PdfExtractor(std::string extractor, std::string launcher, Limits limits)
    : extractor_(std::move(extractor)), launcher_(std::move(launcher)), limits_(limits) {}

bool PdfExtractor::Available() const {
  return CanRun(extractor_) && CanRun(launcher_);
}

std::string PdfExtractor::DefaultExtractor() {
  const char* standIn = std::getenv("FINDLARK_PDF_EXTRACTOR");
  return standIn != nullptr && *standIn != '\0' ? standIn : "/usr/bin/pdftotext";
}

std::string PdfExtractor::FindLauncher() {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return {};
  std::string dir(exe, static_cast<size_t>(n));
  for (int up = 0; up < 4; ++up) {
    const size_t slash = dir.rfind('/');
    if (slash == std::string::npos) break;
    dir.resize(slash);
    const std::string candidate = dir + "/libexec/findlark/findlark-pdf-sandbox";
    if (CanRun(candidate)) return candidate;
  }
  return {};
}

std::string SandboxProtections() {
  std::string out;
  const long abi = syscall(444, nullptr, 0, 1);  // landlock_create_ruleset: its ABI version
  if (abi >= 1) out += "Landlock ABI " + std::to_string(abi) + ", ";
  if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0) out += "seccomp, ";
  return out + "no new privileges, resource limits, time limit";
}

std::string PdfSupportText(const PdfExtractor& extractor) {
  if (!CanRun(extractor.extractor()))
    return "PDF text: not available, pdftotext is not installed (package poppler-utils)";
  if (!CanRun(extractor.launcher()))
    return "PDF text: not available, findlark-pdf-sandbox is missing";
  return "PDF text: pdftotext in a sandbox with " + SandboxProtections();
}

PdfTextSource::~PdfTextSource() {
  Finish(false);
}

bool PdfTextSource::Start() {
  started_ = true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  // The extractor reads the document from its start, whatever has been read of it here.
  lseek(fd_, 0, SEEK_SET);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd_, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_init(&attr);
  // Its own session and process group: the time limit kills everything it started.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETSIGDEF);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);

  const auto& limits = extractor_.limits();
  const std::string as = std::to_string(limits.addressSpace);
  const std::string cpu = std::to_string(limits.cpuSeconds);
  const std::string& launcher = extractor_.launcher();
  const std::string& program = extractor_.extractor();
  std::vector<const char*> args = {launcher.c_str(), "--as", as.c_str(), "--cpu", cpu.c_str(),
                                   "--", program.c_str(), "-q", "-enc", "UTF-8", "fd://0", "-",
                                   nullptr};
  char* const noEnv[] = {nullptr};
  const int rc = posix_spawn(&pid_, launcher.c_str(), &actions, &attr,
                             const_cast<char* const*>(args.data()), noEnv);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  if (rc != 0) {
    pid_ = -1;
    close(fds[0]);
    return false;
  }
  pipe_ = fds[0];
  deadline_ = NowMs() + int64_t{limits.seconds} * 1000;
  return true;
}

ssize_t PdfTextSource::Read(char* out, size_t cap) {
  if (!started_ && !Start()) failed_ = true;
  if (failed_) return -1;
  if (ended_) return 0;
  for (;;) {
    if (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) return -1;
    const int64_t left = deadline_ - NowMs();
    if (left <= 0) {
      failed_ = true;  // the time limit
      return -1;
    }
    pollfd p{pipe_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, kPollSliceMs)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    const size_t room = static_cast<size_t>(
        std::min<uint64_t>(cap, extractor_.limits().maxText - taken_));
    if (room == 0) break;  // the text cap
    const ssize_t r = read(pipe_, out, room);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (r == 0) {
      ended_ = true;
      return 0;
    }
    taken_ += static_cast<uint64_t>(r);
    // A page ends a line: the extractor puts a form feed before the next page's first one.
    std::replace(out, out + r, '\f', '\n');
    return r;
  }
  failed_ = true;
  return -1;
}

void PdfTextSource::Kill() {
  if (pid_ > 0) kill(-pid_, SIGKILL);  // the group: whatever it may have started too
}

void PdfTextSource::Finish(bool matched) {
  if (finished_) return;
  finished_ = true;
  if (pipe_ >= 0) {
    close(pipe_);
    pipe_ = -1;
  }
  if (pid_ <= 0) {
    if (started_ && !matched) extractor_.CountFailure();
    return;
  }
  // A whole text leaves the extractor a moment to exit; anything else ends it at once.
  int status = 0;
  bool reaped = false;
  if (ended_ && !failed_) {
    while (!reaped && NowMs() < deadline_) {
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      reaped = r == pid_ || (r < 0 && errno != EINTR);
      if (!reaped) usleep(2000);
    }
    failed_ = !reaped;
  }
  if (!reaped) {
    Kill();
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
  const bool stopped = stop_ != nullptr && stop_->load(std::memory_order_relaxed);
  const bool clean = ended_ && !failed_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!clean && !matched && !stopped) extractor_.CountFailure();
}

}  // namespace findlark
