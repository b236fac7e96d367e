// findlark-cli: the search engine from a terminal.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "persist/html_export.h"
#include "results/results_tree.h"
#include "search/directory_walk.h"
#include "search/search_run.h"

namespace findlark {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kExitFound = 0;
constexpr int kExitNothing = 1;
constexpr int kExitTrouble = 2;
constexpr int kExitInterrupted = 130;

constexpr milliseconds kProgressPeriod{250};
constexpr milliseconds kFlushPeriod{50};  // pending output waits at most this long
constexpr milliseconds kPollPeriod{50};   // how often a Ctrl-C is looked for
constexpr milliseconds kGatherPause{2};
constexpr size_t kBatch = 1024;

std::atomic<int> g_interrupts{0};

extern "C" void OnInterrupt(int) {
  // The first Ctrl-C is Stop, handled by the main loop; the second ends at once, the way an
  // unhandled Ctrl-C would, so a calling shell sees the interrupt.
  if (g_interrupts.fetch_add(1, std::memory_order_relaxed) > 0) {
    signal(SIGINT, SIG_DFL);
    raise(SIGINT);
  }
}

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nothing sensible is left to do with a failing stderr
    text.remove_prefix(static_cast<size_t>(n));
  }
}

void Complain(const std::string& message) {
  WriteAll(STDERR_FILENO, "findlark-cli: " + message + "\n");
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  AppendTerminalText(out, text);
  out += "'";
  return out;
}

// FOLDER made absolute without resolving links, so hits carry full paths as in the window.
bool AbsoluteFolder(const std::string& given, std::string& out) {
  std::filesystem::path path(given);
  if (path.is_relative()) {
    std::vector<char> cwd(4096);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
      if (errno != ERANGE) return false;
      cwd.resize(cwd.size() * 2);
    }
    path = std::filesystem::path(cwd.data()) / path;
  }
  out = NormalizeRoot(path.lexically_normal().string());
  return true;
}

// The page is written at the end; find out now if that cannot work, before a long search.
bool CheckHtmlTarget(const std::string& file, std::string& reason) {
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    reason = "is a folder";
    return false;
  }
  std::filesystem::path parent = std::filesystem::path(file).parent_path();
  std::string dir = parent.empty() ? "." : parent.string();
  if (::access(dir.c_str(), W_OK | X_OK) != 0) {
    reason = std::strerror(errno);
    return false;
  }
  return true;
}

// The "Searching... %d found so far." line on a terminal's stderr.
class ProgressLine {
 public:
  explicit ProgressLine(bool enabled) : enabled_(enabled), next_(Clock::now() + kProgressPeriod) {}

  Clock::time_point Next() const { return enabled_ ? next_ : Clock::time_point::max(); }

  void Tick(Clock::time_point now, int found) {
    if (!enabled_ || now < next_) return;
    while (next_ <= now) next_ += kProgressPeriod;
    WriteAll(STDERR_FILENO, "\r" + ProgressText(found) + "\x1b[K");
    shown_ = true;
  }

  void Clear() {
    if (!shown_) return;
    WriteAll(STDERR_FILENO, "\r\x1b[K");
    shown_ = false;
  }

 private:
  bool enabled_;
  bool shown_ = false;
  Clock::time_point next_;
};

int Run(const CliOptions& options, bool stdoutIsTerminal, bool stderrIsTerminal) {
  SearchOptions search;
  search.queryLower = options.queryLower;
  search.typeFilter = options.typeFilter;
  search.searchContents = options.searchContents;
  // A plain list of paths shows no sizes or dates, so the walk need not look them up.
  search.details = options.format != OutputFormat::kPaths || !options.htmlFile.empty();
  if (!options.allDrives) {
    if (!AbsoluteFolder(options.folder.empty() ? "." : options.folder, search.folder)) {
      Complain(std::string("cannot determine the current folder: ") + std::strerror(errno));
      return kExitTrouble;
    }
    // The window completes such a search with nothing found; do the same, but say why.
    struct stat st {};
    if (::stat(search.folder.c_str(), &st) != 0) {
      Complain("warning: cannot open folder " + Quoted(search.folder) + ": " +
               std::strerror(errno));
    } else if (!S_ISDIR(st.st_mode)) {
      Complain("warning: " + Quoted(search.folder) + " is not a folder");
    }
  }
  if (!options.htmlFile.empty()) {
    std::string reason;
    if (!CheckHtmlTarget(options.htmlFile, reason)) {
      Complain("cannot write " + Quoted(options.htmlFile) + ": " + reason);
      return kExitTrouble;
    }
  }

  // Keep the records only when the tree or the page needs them; otherwise print and forget,
  // so memory stays flat however many hits there are.
  const bool keep = options.format == OutputFormat::kTree || !options.htmlFile.empty();
  const bool stream = options.format != OutputFormat::kTree;
  const char terminator = options.print0 ? '\0' : '\n';

  FdWriter out(STDOUT_FILENO);
  ProgressLine progress(stderrIsTerminal);
  SearchResults results;
  if (keep) results.ResetResults();
  int found = 0;

  // A shell starts background jobs with Ctrl-C ignored; leave it that way.
  struct sigaction previous {};
  sigaction(SIGINT, nullptr, &previous);
  if (previous.sa_handler != SIG_IGN) {
    struct sigaction onInt {};
    onInt.sa_handler = OnInterrupt;
    sigemptyset(&onInt.sa_mask);
    sigaction(SIGINT, &onInt, nullptr);
  }

  SearchRun run;
  run.Start(search);

  std::vector<ResultRecord> batch;
  batch.reserve(kBatch);
  Clock::time_point lastFlush = Clock::now();
  bool interrupted = false;

  auto flush = [&](Clock::time_point now) {
    if (stdoutIsTerminal) progress.Clear();
    out.Flush();
    lastFlush = now;
  };

  for (;;) {
    if (!interrupted && g_interrupts.load(std::memory_order_relaxed) > 0) {
      interrupted = true;
      run.RequestStop();
    }
    batch.clear();
    size_t taken = run.TakeHits(batch, kBatch);
    if (taken > 0) {
      if (stream) {
        std::string& buffer = out.Buffer();
        for (const ResultRecord& record : batch) {
          if (options.format == OutputFormat::kTsv) {
            AppendTsvLine(buffer, record);
          } else {
            AppendPathLine(buffer, record, terminator);
          }
          if (out.Full()) flush(Clock::now());
        }
      }
      found += static_cast<int>(taken);
      if (keep) results.RecordHits(batch);
    }
    Clock::time_point now = Clock::now();
    if (out.Pending() && (now - lastFlush >= kFlushPeriod || run.WalkDone())) flush(now);
    if (out.Failed()) break;
    progress.Tick(now, found);
    if (taken > 0 && taken < kBatch && !run.WalkDone()) {
      // The queue ran dry. Let hits gather for a moment rather than waking for each one: a
      // wake-up per hit costs more than finding the hit.
      std::this_thread::sleep_for(kGatherPause);
    } else if (taken == 0) {
      if (run.Finished()) break;
      Clock::time_point wake = std::min(progress.Next(), now + kPollPeriod);
      if (out.Pending()) wake = std::min(wake, lastFlush + kFlushPeriod);
      auto wait = std::chrono::duration_cast<milliseconds>(wake - now).count();
      run.WaitForHits(static_cast<int>(std::clamp<int64_t>(wait, 1, kPollPeriod.count())));
    }
  }

  if (out.Failed()) {
    run.RequestStop();
    run.Join();
    progress.Clear();
    if (out.Error() == EPIPE) return found > 0 ? kExitFound : kExitNothing;  // | head: quietly
    Complain(std::string("write error: ") + std::strerror(out.Error()));
    return kExitTrouble;
  }
  run.Join();

  const bool cancelled = run.Cancelled();
  const std::string finalText = FinalStatusText(cancelled, found);
  progress.Clear();
  if (options.format == OutputFormat::kTree) {
    AppendTree(out.Buffer(), results);
    out.Append(finalText);
    out.Append('\n');
  }
  out.Flush();
  if (out.Failed()) {
    if (out.Error() == EPIPE) return found > 0 ? kExitFound : kExitNothing;
    Complain(std::string("write error: ") + std::strerror(out.Error()));
    return kExitTrouble;
  }

  int status =
      cancelled && interrupted ? kExitInterrupted : (found > 0 ? kExitFound : kExitNothing);
  if (!options.htmlFile.empty()) {
    std::string error;
    if (!WriteResultsPage(options.htmlFile, results, options.queryLower, std::time(nullptr),
                          &error)) {
      Complain("cannot write " + Quoted(options.htmlFile) + ": " + error);
      status = kExitTrouble;
    }
  }
  // On a terminal the tree already ends with the final text; don't show it twice.
  if (!(options.format == OutputFormat::kTree && stdoutIsTerminal && stderrIsTerminal)) {
    WriteAll(STDERR_FILENO, finalText + "\n");
  }
  return status;
}

}  // namespace
}  // namespace findlark

int main(int argc, char** argv) {
  using findlark::ParseResult;
  std::vector<std::string> args(argv + 1, argv + argc);
  signal(SIGPIPE, SIG_IGN);  // a closed pipe shows up as EPIPE, handled where we write
  const bool stdoutIsTerminal = ::isatty(STDOUT_FILENO) == 1;
  const bool stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
  ParseResult parsed = findlark::ParseCommandLine(args, stdoutIsTerminal);
  switch (parsed.action) {
    case ParseResult::Action::kHelp:
      findlark::WriteAll(STDOUT_FILENO, findlark::HelpText());
      return 0;
    case ParseResult::Action::kVersion:
      findlark::WriteAll(STDOUT_FILENO, findlark::VersionText());
      return 0;
    case ParseResult::Action::kUsageError:
      findlark::Complain(parsed.error);
      findlark::WriteAll(STDERR_FILENO, findlark::UsageText());
      return findlark::kExitTrouble;
    case ParseResult::Action::kRun:
      break;
  }
  return findlark::Run(parsed.options, stdoutIsTerminal, stderrIsTerminal);
}
