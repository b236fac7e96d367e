// Runs one search in the window and reports how responsive the window thread stayed while the
// hits were recorded, how long recording took and what each hit cost.
//
//   window_million_bench [--tree DIR | --hits N] [--query TEXT] [--hidden] [--no-select]
//                        [--profile] [--gap-log FILE]
//
// --tree walks a real tree: by default the one bench/make_tree.py makes (1,000,000 files, 10,100
// folders), where the default query "-" matches every file and no folder. --hits N instead feeds
// N generated hits (varied names, all thirteen categories) through the same queue and recording
// path as a walk, without touching the disk. Unless --no-select is given, a leaf in the middle of
// Documents is made current early on and must still be the same hit at the end, as a user
// reading a hit while the list grows would expect. The last line of output reads:
//
//   hits N, longest gap X ms, gaps over 16 ms G, bytes per hit B, total T s, window thread CPU C s
//
// The gaps and the total run up to the final text; the bytes per hit are the growth of the
// process, less the paths' own bytes, once it has settled after it.
//
// Run it with QT_QPA_PLATFORM=offscreen, or on a display (such as Xvfb) to include painting
// through the X server. A wall-clock gap much longer than its CPU time means the window thread
// was waiting for a core that other processes held.
//
// --profile adds where the window thread's time in the gaps over 16 ms went (on the CPU, waiting
// for a core, or asleep), how long it waited for a core in all beside the CPU the process's other
// threads used meanwhile, and, per kind of event, its CPU time, page faults and sleeps: a sleep
// inside an event is a wait for a lock or for the kernel, which a busy machine stretches. Last,
// the events of the gap with the most CPU, and the CPU spent outside them.
//
// --gap-log writes each gap over 16 ms as "gap START END CPU WAIT" (CLOCK_MONOTONIC; the window
// thread's CPU and wait for a core in it; all in ns), for bench/window_busy.sh to hold against
// the times the machine stood still.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "results/display_text.h"
#include "results/search_results.h"
#include "search/directory_walk.h"
#include "ui/results_model.h"
#include "ui/results_view.h"
#include "ui/search_dlg.h"

using namespace findlark;

namespace {

int64_t CpuNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// CPU time of the calling thread: a wall-clock gap far longer than this was spent waiting for a
// core (other processes), not working.
int64_t ThreadCpuNs() {
  return CpuNs(CLOCK_THREAD_CPUTIME_ID);
}

// CPU time of every thread of this process together.
int64_t ProcessCpuNs() {
  return CpuNs(CLOCK_PROCESS_CPUTIME_ID);
}

// Time the calling thread has spent ready to run but waiting for a core.
int64_t RunDelayNs() {
  static const int fd = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
  char text[96];
  const ssize_t n = fd < 0 ? -1 : ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  text[n] = 0;
  long long cpu = 0, waited = 0;
  return std::sscanf(text, "%lld %lld", &cpu, &waited) == 2 ? waited : 0;
}

long RssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Each event the window thread handles, outermost only: its CPU and wall time, the page faults it
// took and how often it had to sleep (a lock or the kernel's memory map held elsewhere), summed
// by receiver class and event type. --profile prints the kinds that cost most in one go.
class ProfilingApp : public QApplication {
 public:
  using QApplication::QApplication;
  bool profile = false;

  struct Kind {
    int64_t count = 0, cpuNs = 0, maxCpuNs = 0, maxWallNs = 0, faults = 0, maxFaults = 0,
            sleeps = 0, maxSleeps = 0, preempted = 0, maxBlockedNs = 0, blockedNs = 0;
  };
  std::map<std::pair<std::string, int>, Kind> kinds;

  bool notify(QObject* receiver, QEvent* event) override {
    if (!profile || depth_ > 0) return QApplication::notify(receiver, event);
    const std::string name = receiver->metaObject()->className();
    const int type = event->type();
    rusage before{};
    getrusage(RUSAGE_THREAD, &before);
    const int64_t cpu = ThreadCpuNs();
    const int64_t delay = RunDelayNs();
    timespec w0{};
    clock_gettime(CLOCK_MONOTONIC, &w0);
    ++depth_;
    const bool result = QApplication::notify(receiver, event);
    --depth_;
    timespec w1{};
    clock_gettime(CLOCK_MONOTONIC, &w1);
    const int64_t cpuNs = ThreadCpuNs() - cpu;
    const int64_t delayNs = RunDelayNs() - delay;
    const int64_t wallNs =
        (int64_t{w1.tv_sec} - w0.tv_sec) * 1'000'000'000 + (w1.tv_nsec - w0.tv_nsec);
    rusage after{};
    getrusage(RUSAGE_THREAD, &after);
    Kind& k = kinds[{name, type}];
    ++k.count;
    k.cpuNs += cpuNs;
    k.maxCpuNs = std::max(k.maxCpuNs, cpuNs);
    k.maxWallNs = std::max(k.maxWallNs, wallNs);
    const int64_t faults = after.ru_minflt - before.ru_minflt;
    k.faults += faults;
    k.maxFaults = std::max(k.maxFaults, faults);
    const int64_t sleeps = after.ru_nvcsw - before.ru_nvcsw;
    k.sleeps += sleeps;
    k.maxSleeps = std::max(k.maxSleeps, sleeps);
    k.preempted += after.ru_nivcsw - before.ru_nivcsw;
    const int64_t blocked = std::max<int64_t>(0, wallNs - cpuNs - delayNs);
    k.blockedNs += blocked;
    k.maxBlockedNs = std::max(k.maxBlockedNs, blocked);
    sinceTick.push_back({name + " " + std::to_string(type), cpuNs});
    return result;
  }

  // The events handled since the probe last fired, with the CPU each took.
  std::vector<std::pair<std::string, int64_t>> sinceTick;
  std::vector<std::pair<std::string, int64_t>> inLongestCpuGap;
  int64_t longestCpuGapNs = 0;

  // At each probe: keeps the events of the gap with the most CPU so far.
  void Tick(int64_t cpuGapNs) {
    if (cpuGapNs > longestCpuGapNs) {
      longestCpuGapNs = cpuGapNs;
      inLongestCpuGap = sinceTick;
    }
    sinceTick.clear();
  }

  // What the window thread did in the gap with the most CPU: per kind of event, how many and
  // their CPU, and what was spent outside any event (the event loop itself, painting).
  void ReportLongestCpuGap() const {
    std::map<std::string, std::pair<int, int64_t>> byKind;
    int64_t inEvents = 0;
    for (const auto& [kind, cpuNs] : inLongestCpuGap) {
      ++byKind[kind].first;
      byKind[kind].second += cpuNs;
      inEvents += cpuNs;
    }
    std::printf("gap with the most CPU: %.1f ms, %zu events taking %.1f ms, %.1f ms outside them\n",
                longestCpuGapNs / 1e6, inLongestCpuGap.size(), inEvents / 1e6,
                (longestCpuGapNs - inEvents) / 1e6);
    for (const auto& [kind, counted] : byKind)
      std::printf("  %-40s %5d %8.2f ms\n", kind.c_str(), counted.first, counted.second / 1e6);
  }

  void Report() const {
    std::vector<std::pair<std::pair<std::string, int>, Kind>> sorted(kinds.begin(), kinds.end());
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.second.maxCpuNs > b.second.maxCpuNs; });
    std::printf("%-28s %5s %8s %8s %8s %8s %8s %7s %7s %7s\n", "receiver", "event", "count",
                "cpu ms", "max cpu", "max wall", "faults", "max flt", "sleeps", "max slp");
    std::printf("%-28s %5s %8s %8s %8s\n", "", "", "", "blocked", "max blk");
    for (const auto& [key, k] : sorted) {
      if (k.maxCpuNs < 200'000 && k.sleeps == 0) continue;
      std::printf("%-28s %5d %8lld %8.1f %8.2f %8.2f %8lld %7lld %7lld %7lld\n", key.first.c_str(),
                  key.second, static_cast<long long>(k.count), k.cpuNs / 1e6, k.maxCpuNs / 1e6,
                  k.maxWallNs / 1e6, static_cast<long long>(k.faults),
                  static_cast<long long>(k.maxFaults), static_cast<long long>(k.sleeps),
                  static_cast<long long>(k.maxSleeps));
      std::printf("%-28s %5s %8s %8.1f %8.2f\n", "", "", "", k.blockedNs / 1e6,
                  k.maxBlockedNs / 1e6);
    }
  }

 private:
  int depth_ = 0;
};

// N hits with names of many shapes: words in mixed case, numbers, a few accented letters, and
// extensions of every category; paths as deep as a home folder's.
void GenerateHits(int64_t count, HitSink& sink, const std::atomic<bool>& stop) {
  static const char* const kWords[] = {"report",
                                       "Photo",
                                       "notes",
                                       "song",
                                       "MOVIE",
                                       "index",
                                       "budget",
                                       "slides",
                                       "setup",
                                       "backup",
                                       "main",
                                       "README",
                                       "\xC3\xA9t\xC3\xA9",
                                       "\xC3\x89"
                                       "cole",
                                       "IMG_",
                                       "node"};
  static const char* const kExts[] = {"txt", "jpg", "mp3", "mp4", "html", "pdf", "xls",
                                      "ppt", "exe", "zip", "c",   "",     "dat", "doc"};
  const std::string size = FormatSize(12345);
  const std::string date = FormatHitDate(1181000000);
  uint64_t state = 0x9E3779B97F4A7C15u;
  for (int64_t i = 0; i < count && !stop.load(std::memory_order_relaxed); ++i) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    const uint64_t r = state >> 16;
    ResultRecord hit;
    const char* word = kWords[r % std::size(kWords)];
    const char* ext = kExts[(r >> 8) % std::size(kExts)];
    hit.path = "/home/user/d" + std::to_string((r >> 16) % 100) + "/s" +
               std::to_string((r >> 24) % 100) + "/" + word + "-" + std::to_string(i % 1000003);
    if (*ext) {
      hit.path += '.';
      hit.path += ext;
    }
    hit.extension = ExtensionOf(hit.path.substr(hit.path.rfind('/') + 1));
    hit.category = ClassifyEntry(false, hit.extension).value_or(kOther);
    hit.sizeText = size;
    hit.dateText = date;
    sink.OnHit(std::move(hit));
  }
}

// The window with nothing that leaves the process: no folder dialog, tray or preview.
class BenchDlg : public CSearchDlg {
 public:
  QString folder;
  int64_t generated = -1;  // --hits

 protected:
  QString AskFolder() override { return folder; }
  void Navigate(const std::string&, PreviewKind) override {}
  bool TrayAvailable() const override { return false; }
  void BeforeRun(SearchOptions& options) override {
    if (generated < 0) return;
    const int64_t count = generated;
    options.source = [count](HitSink& sink, const std::atomic<bool>& stop) {
      GenerateHits(count, sink, stop);
    };
  }
};

struct Options {
  QString tree = QStringLiteral("/tmp/findlark-bench/tree");
  int64_t hits = -1;
  QString query = QStringLiteral("-");
  bool hidden = false;
  bool select = true;
  bool profile = false;
  QString gapLog;
};

bool ParseArgs(const QStringList& args, Options* options) {
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == QLatin1String("--tree") && i + 1 < args.size()) {
      options->tree = args[++i];
    } else if (a == QLatin1String("--hits") && i + 1 < args.size()) {
      bool ok = false;
      options->hits = args[++i].toLongLong(&ok);
      if (!ok || options->hits < 0) options->hits = -1;
    } else if (a == QLatin1String("--query") && i + 1 < args.size()) {
      options->query = args[++i];
    } else if (a == QLatin1String("--hidden")) {
      options->hidden = true;
    } else if (a == QLatin1String("--no-select")) {
      options->select = false;
    } else if (a == QLatin1String("--profile")) {
      options->profile = true;
    } else if (a == QLatin1String("--gap-log") && i + 1 < args.size()) {
      options->gapLog = args[++i];
    } else {
      std::fprintf(stderr,
                   "usage: window_million_bench [--tree DIR | --hits N] [--query TEXT] [--hidden] "
                   "[--no-select] [--profile] [--gap-log FILE]\n");
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ProfilingApp app(argc, argv);
  Options options;
  if (!ParseArgs(app.arguments(), &options)) return 2;
  if (options.hits < 0 && !QDir(options.tree).exists()) {
    std::fprintf(stderr, "window_million_bench: no tree at %s (python3 bench/make_tree.py DIR)\n",
                 qPrintable(options.tree));
    return 2;
  }
  // The window reads and writes its settings in the working folder; keep them out of the way.
  QTemporaryDir scratch;
  if (!scratch.isValid() || ::chdir(QFile::encodeName(scratch.path()).constData()) != 0) {
    std::fprintf(stderr, "window_million_bench: no scratch folder\n");
    return 2;
  }

  BenchDlg dlg;
  dlg.folder = options.tree;
  dlg.generated = options.hits;
  dlg.OnCommand(kCmdBrowse);
  dlg.resize(1000, 700);
  if (!options.hidden) {
    dlg.show();
    // Let the window appear and settle first: its first show is no part of the search.
    QEventLoop settle;
    QTimer::singleShot(500, &settle, &QEventLoop::quit);
    settle.exec();
  }
  ResultsView* tree = dlg.Tree();
  ResultsModel* model = dlg.Model();

  int updates = 0;  // structural changes the view had to take in
  QObject::connect(model, &QAbstractItemModel::layoutChanged, [&] { ++updates; });
  QObject::connect(model, &QAbstractItemModel::rowsInserted, [&] { ++updates; });

  QElapsedTimer clock;
  int64_t startNs = 0, lastTickNs = 0, maxGapNs = 0, endNs = -1;
  int64_t maxGapAt = 0, lastCpuNs = 0, maxCpuGapNs = 0, maxGapCpuNs = 0, endCpuNs = 0;
  int64_t startProcessCpuNs = 0, endProcessCpuNs = 0, startDelayNs = 0, endDelayNs = 0;
  int64_t lastDelayNs = 0, maxGapDelayNs = 0, delayInGaps16 = 0, gapNs16 = 0, cpuInGaps16 = 0;
  int gapsOver16 = 0, gapsOver50 = 0, ticks = 0;
  std::vector<std::array<int64_t, 4>> gaps16;  // as --gap-log writes them
  long rssBefore = 0, rssAfter = 0;
  QPersistentModelIndex chosen;
  int64_t chosenData = -1;
  std::string verdict = "not checked";

  // A 5 ms timer: the time between two firings is how long the window thread could not answer
  // the user (5 ms when it is idle). A zero-interval timer would keep the thread busy, and a
  // busy thread loses the scheduler's preference for threads that wake up, as a real idle
  // window thread would not.
  QTimer probe;
  probe.setInterval(5);
  probe.setTimerType(Qt::PreciseTimer);
  // The final text is up before the helper has given back the memory the last merge left idle;
  // the memory per hit is read once that is over: when the process has not shrunk for 100 ms.
  int64_t settledAt = 0;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const int64_t now = clock.nsecsElapsed();
    if (endNs >= 0) {
      if (const long rss = RssKiB(); rss < rssAfter) {
        rssAfter = rss;
        settledAt = now;
      }
      if (!dlg.Searching() && (now - settledAt > 100'000'000 || now - endNs > 2'000'000'000)) {
        probe.stop();
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
      }
      return;
    }
    const int64_t gap = now - lastTickNs;
    lastTickNs = now;
    const int64_t cpu = ThreadCpuNs();
    const int64_t cpuGap = cpu - lastCpuNs;
    lastCpuNs = cpu;
    maxCpuGapNs = std::max(maxCpuGapNs, cpuGap);
    const int64_t delay = RunDelayNs();
    const int64_t delayGap = delay - lastDelayNs;
    lastDelayNs = delay;
    ++ticks;
    if (app.profile) app.Tick(cpuGap);
    if (gap > 16'000'000) {
      ++gapsOver16;
      delayInGaps16 += delayGap;
      cpuInGaps16 += cpuGap;
      gapNs16 += gap;
      const int64_t mono = CpuNs(CLOCK_MONOTONIC);  // the elapsed timer runs on the same clock
      gaps16.push_back({mono - gap, mono, cpuGap, delayGap});
    }
    if (gap > maxGapNs) {
      maxGapNs = gap;
      maxGapCpuNs = cpuGap;
      maxGapDelayNs = delayGap;
      maxGapAt = dlg.Results().foundCount;
    }
    if (gap > 50'000'000) ++gapsOver50;

    const SearchResults& results = dlg.Results();
    if (options.select && chosenData < 0 && results.foundCount >= 20000) {
      const QModelIndex docs = model->NodeIndex(kDocuments);
      const int rows = model->rowCount(docs);
      if (rows > 0) {
        const QModelIndex leaf = model->index(rows / 2, 0, docs);
        tree->setCurrentIndex(leaf);
        tree->scrollTo(leaf);
        chosen = leaf;
        chosenData = model->ItemData(leaf);
      }
    }
    if (endNs < 0 && dlg.Status()->text().startsWith(QLatin1String("Search c"))) {
      endNs = now;  // the final text is up: every hit is recorded
      endCpuNs = cpu;
      endProcessCpuNs = ProcessCpuNs();
      endDelayNs = delay;
      rssAfter = RssKiB();
      settledAt = now;
    }
    if (!dlg.Searching() && endNs < 0) {  // ended without the final text: nothing to wait for
      probe.stop();
      QTimer::singleShot(0, &app, &QCoreApplication::quit);
    }
  });

  rssBefore = RssKiB();
  dlg.SearchEdit()->setText(options.query);
  dlg.SearchEdit()->setFocus();
  clock.start();
  startNs = lastTickNs = clock.nsecsElapsed();
  lastCpuNs = ThreadCpuNs();
  lastDelayNs = startDelayNs = RunDelayNs();
  startProcessCpuNs = ProcessCpuNs();
  const int64_t startCpuNs = lastCpuNs;
  dlg.OnOK();
  if (!dlg.Searching()) {
    std::fprintf(stderr, "window_million_bench: the search did not start\n");
    return 2;
  }
  probe.start();
  app.profile = options.profile;
  app.exec();
  app.profile = false;

  const SearchResults& results = dlg.Results();
  const int hits = results.foundCount;
  size_t pathBytes = 0;
  for (size_t i = 0; i < results.store.size(); ++i) pathBytes += results.store.View(i).path.size();
  if (options.select) {
    if (chosenData < 0) {
      verdict = "no leaf chosen";
    } else {
      const QModelIndex current = tree->currentIndex();
      const bool same = chosen.isValid() && current == QModelIndex(chosen) &&
                        model->ItemData(current) == chosenData;
      verdict = same ? "kept" : "LOST";
    }
  }
  const double perHit =
      hits > 0 ? ((rssAfter - rssBefore) * 1024.0 - static_cast<double>(pathBytes)) / hits : 0;
  const double heldPerHit =
      hits > 0
          ? (static_cast<double>(results.store.BytesReserved() + results.tree.BytesReserved()) -
             static_cast<double>(pathBytes)) /
                hits
          : 0;
  std::printf(
      "window_million: %d hits in %.2f s (%s, %s); event loop: longest gap %.1f ms (%.1f ms of "
      "it on the CPU, at %d hits), longest CPU-bound gap %.1f ms, %d gaps > 16 ms, %d > 50 ms, "
      "%d probes; %d view updates, %llu leaves asked for; RSS %+.1f MiB = %.0f "
      "B/hit beyond %.1f MiB of paths (store+tree %.0f B/hit); current item %s\n",
      hits, (endNs - startNs) / 1e9, qPrintable(QGuiApplication::platformName()),
      options.hidden ? "hidden" : "shown", maxGapNs / 1e6, maxGapCpuNs / 1e6,
      static_cast<int>(maxGapAt), maxCpuGapNs / 1e6, gapsOver16, gapsOver50, ticks, updates,
      static_cast<unsigned long long>(tree->LeafQueries()), (rssAfter - rssBefore) / 1024.0, perHit,
      pathBytes / 1048576.0, heldPerHit, verdict.c_str());
  std::printf(
      "hits %d, longest gap %.1f ms, gaps over 16 ms %d, bytes per hit %.0f, total %.2f s, "
      "window thread CPU %.2f s\n",
      hits, maxGapNs / 1e6, gapsOver16, perHit, (endNs - startNs) / 1e9,
      (endCpuNs - startCpuNs) / 1e9);
  if (!options.gapLog.isEmpty()) {
    if (FILE* log = std::fopen(options.gapLog.toLocal8Bit().constData(), "w")) {
      for (const auto& [from, to, cpu, wait] : gaps16)
        std::fprintf(log, "gap %lld %lld %lld %lld\n", static_cast<long long>(from),
                     static_cast<long long>(to), static_cast<long long>(cpu),
                     static_cast<long long>(wait));
      std::fclose(log);
    }
  }
  if (options.profile) {
    std::printf(
        "longest gap: %.1f ms waiting for a core; all gaps over 16 ms: %.1f ms, of it "
        "%.1f ms on the CPU and %.1f ms waiting for a core\n",
        maxGapDelayNs / 1e6, gapNs16 / 1e6, cpuInGaps16 / 1e6, delayInGaps16 / 1e6);
    // The window's own helpers (the walk or the generator, merges, freeing, filling in pages)
    // want the same cores: on a machine with one core free, this much CPU beside the window
    // thread's leaves it a share of that core, not the whole of it.
    std::printf(
        "until the final text: window thread waited %.2f s for a core in all; the process's "
        "other threads used %.2f s of CPU\n",
        (endDelayNs - startDelayNs) / 1e9,
        ((endProcessCpuNs - startProcessCpuNs) - (endCpuNs - startCpuNs)) / 1e9);
    app.Report();
    app.ReportLongestCpuGap();
  }
  std::fflush(stdout);
  dlg.OnExit();
  return verdict == "LOST" ? 1 : 0;
}
