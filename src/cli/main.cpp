// findlark-cli: the search engine from a terminal.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/child_process.h"
#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "persist/atomic_file.h"
#include "persist/html_export.h"
#include "platform/drives.h"
#include "results/search_results.h"
#include "search/directory_walk.h"
#include "search/pdf_text.h"
#include "search/search_run.h"

namespace findlark {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What a calling script sees.
enum class ExitStatus : int { kFound = 0, kNothing = 1, kTrouble = 2 };

constexpr milliseconds kProgressPeriod{250};
constexpr milliseconds kFlushPeriod{50};  // pending output waits at most this long
constexpr milliseconds kPollPeriod{50};   // how often a Ctrl-C is looked for
constexpr milliseconds kGatherPause{2};
constexpr size_t kBatch = 1024;
// Hits queued for printing; the walker waits past it. They are taken in one swap as soon as
// half of it is filled, so it seldom fills; a smaller one made one CPU switch threads more often.
constexpr size_t kQueueCapacity = 8 * kBatch;
// A stopped walk held by a folder that does not answer is given up after this; the process the
// shell waits for leaves a little later still, output written or not.
constexpr milliseconds kStopGrace{500};
constexpr milliseconds kLeavePatience{1000};
constexpr milliseconds kWaitingCheck{250};

std::atomic<int> g_interrupts{0};
std::atomic<int> g_stopSignal{0};

extern "C" void OnStopSignal(int signo) {
  // The first is Stop, handled by the main loop; a second Ctrl-C ends at once, the way an
  // unhandled one would, so a calling shell sees the interrupt.
  if (g_interrupts.fetch_add(1, std::memory_order_relaxed) == 0) {
    g_stopSignal.store(signo, std::memory_order_relaxed);
  } else if (signo == SIGINT) {
    signal(SIGINT, SIG_DFL);
    raise(SIGINT);
  }
}

void InstallStopHandlers() {
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
    // A shell starts background jobs with Ctrl-C ignored; leave it that way.
    struct sigaction previous {};
    sigaction(signo, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN) continue;
    struct sigaction onStop {};
    onStop.sa_handler = OnStopSignal;
    sigemptyset(&onStop.sa_mask);
    sigaction(signo, &onStop, nullptr);
  }
}

bool InterruptRequested() {
  return g_interrupts.load(std::memory_order_relaxed) > 0;
}

ExitStatus StatusFor(int found) {
  return found > 0 ? ExitStatus::kFound : ExitStatus::kNothing;
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

// The folder to walk, absolute. False, with the user told why, when it cannot be searched:
// it does not exist, is not a folder or cannot be listed.
bool ResolveFolder(const std::string& given, std::string& folder) {
  if (!AbsoluteFolder(given, folder)) {
    Complain(std::string("cannot determine the current folder: ") + std::strerror(errno));
    return false;
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    Complain("cannot open folder " + Quoted(folder) + ": " + std::strerror(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    Complain(Quoted(folder) + " is not a folder");
    return false;
  }
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    Complain("cannot open folder " + Quoted(folder) + ": " + std::strerror(errno));
    return false;
  }
  ::closedir(dir);
  return true;
}

bool ColorWanted(ColorMode mode, bool stdoutIsTerminal) {
  if (mode != ColorMode::kAuto) return mode == ColorMode::kAlways;
  const char* noColor = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  return stdoutIsTerminal && (noColor == nullptr || *noColor == '\0') &&
         !(term != nullptr && std::string_view(term) == "dumb");
}

// The "Searching... %d found so far." line on a terminal's stderr.
class ProgressLine {
 public:
  explicit ProgressLine(bool enabled) : enabled_(enabled), next_(Clock::now() + kProgressPeriod) {}

  Clock::time_point Next() const { return enabled_ ? next_ : Clock::time_point::max(); }

  // Hits found in the folders searched before this one, counted in what is shown.
  void SetFoundBefore(int found) { foundBefore_ = found; }

  void Tick(Clock::time_point now, int found) {
    if (!enabled_ || now < next_) return;
    while (next_ <= now) next_ += kProgressPeriod;
    WriteAll(STDERR_FILENO, "\r" + ProgressText(foundBefore_ + found) + "\x1b[K");
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
  int foundBefore_ = 0;
  Clock::time_point next_;
};

struct Terminals {
  bool out = false;
  bool err = false;
};

// A write to stdout failed: a closed pipe (| head) ends quietly, anything else is trouble.
ExitStatus WriteFailed(int error, int found) {
  if (error == EPIPE) return StatusFor(found);
  Complain(std::string("write error: ") + std::strerror(error));
  return ExitStatus::kTrouble;
}

// Takes hits from `run` until it is over or stdout fails, streaming them through `printer`
// and keeping them in `kept` when given. Returns how many were found.
int CollectHits(SearchRun& run, const HitPrinter& printer, FdWriter& out, ProgressLine& progress,
                SearchResults* kept, bool stdoutIsTerminal) {
  HitBatch batch;
  Clock::time_point lastFlush = Clock::now();
  Clock::time_point nextWaitingCheck = lastFlush + kWaitingCheck;
  std::string waitingFor;  // named once on stderr
  bool stopAsked = false;
  int found = 0;

  auto flush = [&](Clock::time_point now) {
    if (stdoutIsTerminal) progress.Clear();
    out.Flush();
    lastFlush = now;
  };

  for (;;) {
    if (!stopAsked && InterruptRequested()) {
      stopAsked = true;
      run.RequestStop();
    }
    batch.clear();  // its memory goes to the queue for the hits to come
    // Everything queued at once: the walker waits for the queue only as long as a swap takes.
    // Busy this very moment, it is taken on the next turn.
    const std::optional<SearchRun::Taken> took = run.TryTakeAll(batch);
    const size_t taken = took ? took->hits : 0;
    if (taken > 0) {
      if (printer.Streams()) {
        for (const HitView& record : batch) {
          printer.AppendHit(out.Buffer(), record);
          if (out.Full()) flush(Clock::now());
        }
      }
      found += static_cast<int>(taken);
      if (kept) kept->AppendHits(batch);
    }
    Clock::time_point now = Clock::now();
    if (out.Pending() && (now - lastFlush >= kFlushPeriod || run.WalkDone())) flush(now);
    if (out.Failed()) return found;
    progress.Tick(now, found);
    if (now >= nextWaitingCheck) {
      nextWaitingCheck = now + kWaitingCheck;
      std::string stalled = run.WaitingFor();
      if (!stalled.empty() && stalled != waitingFor) {
        progress.Clear();
        Complain("waiting for " + Quoted(stalled) + ", which does not answer");
      }
      waitingFor = std::move(stalled);
    }
    if (taken > 0 && taken < kBatch && !run.WalkDone()) {
      // The queue ran dry. Let hits gather for a moment rather than waking for each one: a
      // wake-up per hit costs more than finding the hit.
      run.WaitForMoreHits(static_cast<int>(kGatherPause.count()));
    } else if (taken == 0) {
      if (run.Finished()) return found;
      Clock::time_point wake = std::min(progress.Next(), now + kPollPeriod);
      if (out.Pending()) wake = std::min(wake, lastFlush + kFlushPeriod);
      auto wait = std::chrono::duration_cast<milliseconds>(wake - now).count();
      run.WaitForHits(static_cast<int>(std::clamp<int64_t>(wait, 1, kPollPeriod.count())));
    }
  }
}

ExitStatus Run(const CliOptions& options, Terminals terminals,
               std::shared_ptr<const MountTable> mounts) {
  SearchOptions search;
  search.mounts = std::move(mounts);
  search.queryLower = options.queryLower;
  search.typeFilter = options.typeFilter;
  search.searchContents = options.searchContents;
  search.networkMounts = options.networkMounts;
  search.filters = options.filters;
  search.threads = options.threads;
  if (options.searchPdf) {
    search.pdf = std::make_shared<PdfExtractor>();
    if (!search.pdf->Available()) {
      Complain("--pdf: " + PdfSupportText(*search.pdf) + "; PDF documents are not searched");
      search.pdf.reset();
    }
  }
  // A plain list of paths shows no sizes or dates, so the walk need not look them up.
  search.details = options.format != OutputFormat::kPaths || !options.htmlFile.empty();
  // The page is written at the end; find out now if that cannot work, before a long search.
  std::string error;
  if (!options.htmlFile.empty() && !CheckWritable(options.htmlFile, &error)) {
    Complain("cannot write " + Quoted(options.htmlFile) + ": " + error);
    return ExitStatus::kTrouble;
  }

  const bool tree = options.format == OutputFormat::kTree;
  const HitPrinter printer(options.format, options.print0, terminals.out,
                           tree && ColorWanted(options.color, terminals.out)
                               ? TreeColors::FromLsColors(std::getenv("LS_COLORS"))
                               : TreeColors{});
  // Keep the records only when the tree or the page needs them; otherwise print and forget,
  // so memory stays flat however many hits there are.
  const bool keep = tree || !options.htmlFile.empty();
  SearchResults results;
  if (keep) results.ResetResults();

  FdWriter out(STDOUT_FILENO);
  ProgressLine progress(terminals.err && !options.quiet);
  // One run per FOLDER, in the order given, all into one set of results. A folder that cannot
  // be searched is reported in its turn, and the others are searched all the same.
  std::vector<std::string> folders = options.folders;
  if (options.allDrives) {
    folders = {""};  // an empty folder is the whole machine
  } else if (folders.empty()) {
    folders = {"."};
  }
  int found = 0;
  bool cancelled = false;
  bool badFolder = false;
  for (const std::string& given : folders) {
    if (InterruptRequested()) {
      cancelled = true;
      break;
    }
    progress.Clear();
    if (!options.allDrives && !ResolveFolder(given, search.folder)) {
      badFolder = true;
      continue;
    }
    progress.SetFoundBefore(found);
    SearchRun run(kQueueCapacity, kStopGrace);
    run.Start(search);
    found += CollectHits(run, printer, out, progress, keep ? &results : nullptr, terminals.out);
    if (out.Failed()) run.RequestStop();
    run.Join();
    cancelled = run.Cancelled();
    if (cancelled || out.Failed()) break;
  }
  if (keep) results.RecordAppended();
  progress.Clear();

  const std::string finalText = FinalStatusText(cancelled, found);
  if (tree && !out.Failed()) printer.WriteEnd(out, results);
  out.Flush();
  if (out.Failed()) return WriteFailed(out.Error(), found);

  ExitStatus status = cancelled && InterruptRequested()
                          ? static_cast<ExitStatus>(128 + g_stopSignal.load())
                      : badFolder ? ExitStatus::kTrouble
                                  : StatusFor(found);
  if (!options.htmlFile.empty() &&
      !WriteResultsPage(options.htmlFile, results, options.queryLower, std::time(nullptr), &error,
                        DescribeFilters(options.filters))) {
    Complain("cannot write " + Quoted(options.htmlFile) + ": " + error);
    status = ExitStatus::kTrouble;
  }
  // Standard error only, so that output meant for a program holds nothing but hits.
  if (!options.quiet) WriteAll(STDERR_FILENO, finalText + "\n");
  if (search.pdf && search.pdf->Failures() > 0) {
    const size_t failed = search.pdf->Failures();
    WriteAll(STDERR_FILENO, std::to_string(failed) +
                                (failed == 1 ? " PDF document was" : " PDF documents were") +
                                " not read to the end (damaged, too large or too slow) and "
                                "taken as no match.\n");
  }
  return status;
}

}  // namespace
}  // namespace findlark

int main(int argc, char** argv) {
  using findlark::ExitStatus;
  using findlark::ParseResult;
  std::vector<std::string> args(argv + 1, argv + argc);
  signal(SIGPIPE, SIG_IGN);  // a closed pipe shows up as EPIPE, handled where we write
  const findlark::Terminals terminals{::isatty(STDOUT_FILENO) == 1, ::isatty(STDERR_FILENO) == 1};
  ParseResult parsed = findlark::ParseCommandLine(args, terminals.out);
  ExitStatus status = ExitStatus::kFound;
  switch (parsed.action) {
    case ParseResult::Action::kHelp:
      findlark::WriteAll(STDOUT_FILENO, findlark::HelpText());
      break;
    case ParseResult::Action::kVersion:
      findlark::WriteAll(STDOUT_FILENO, findlark::VersionText());
      break;
    case ParseResult::Action::kUsageError: {
      std::string shown;  // it may quote an argument that came from a file name
      findlark::AppendTerminalText(shown, parsed.error);
      findlark::Complain(shown);
      findlark::WriteAll(STDERR_FILENO, findlark::UsageText());
      status = ExitStatus::kTrouble;
      break;
    }
    case ParseResult::Action::kRun: {
      findlark::InstallStopHandlers();
      // The child is there to be left behind when a folder never answers. Where nothing
      // mounted can do that, the search runs here: the fork and the pages it copies cost some
      // 3 ms, a third of a search of a small folder. The search goes by the same table.
      auto mounts = std::make_shared<const findlark::MountTable>(findlark::Mounts());
      const auto run = [&] {
        // In the process that searches, before its threads: a child does not inherit the
        // room made for descriptors, only the limit.
        findlark::RaiseDescriptorLimit();
        return static_cast<int>(findlark::Run(parsed.options, terminals, mounts));
      };
      if (!mounts->mayNeverAnswer) {
        const int status = run();
        // A walk given up after Stop (a slow disk) may still be running: then leave as the
        // child does, without tearing down what it may yet touch. Everything is written.
        if (findlark::SearchRun::HeldRuns() > 0) _exit(status);
        return status;
      }
      return findlark::RunInChild(run, findlark::kLeavePatience);
    }
  }
  return static_cast<int>(status);
}
