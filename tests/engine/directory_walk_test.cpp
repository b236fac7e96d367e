#include "search/directory_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "platform/drives.h"
#include "results/display_text.h"
#include "test_tree.h"

namespace findlark {
namespace {

struct Walk : HitSink {
  explicit Walk(std::string query, bool contents = false) : matcher(std::move(query)) {
    options.query = &matcher;
    options.searchContents = contents;
  }
  void OnHit(ResultRecord&& record) override {
    hits.push_back(std::move(record));
    if (after) after();
  }
  // The hits' paths below `root`, sorted; a path found twice, or outside the root, fails.
  std::vector<std::string> Run(std::string root) {
    SearchFolder(root, options, *this);
    while (root.ends_with('/')) root.pop_back();
    std::vector<std::string> paths;
    for (const ResultRecord& r : hits) {
      EXPECT_TRUE(r.path.starts_with(root + "/")) << r.path;
      EXPECT_TRUE(byPath.emplace(r.path.substr(root.size() + 1), r).second) << r.path;
    }
    for (const auto& [path, record] : byPath) paths.push_back(path);
    return paths;
  }
  // Sets the stop flag as the n-th hit arrives, as the Stop button would.
  void StopAt(size_t n) {
    options.stop = &stop;
    after = [this, n] {
      if (hits.size() == n) stop = true;
    };
  }
  size_t IndexOf(const std::string& path) const {
    return std::find_if(hits.begin(), hits.end(), [&](auto& r) { return r.path == path; }) -
           hits.begin();
  }
  QueryMatcher matcher;
  WalkOptions options;
  std::vector<ResultRecord> hits;
  std::map<std::string, ResultRecord> byPath;
  std::function<void()> after;
  std::atomic<bool> stop{false};
};

TEST(DirectoryWalk, NamesFieldsAndOrder) {
  testing::TestTree tree;
  tree.Write("Annual Report.DOC", "12345", 1700000000);
  tree.Write("REPORTS/q1 Report.txt");
  tree.Write("REPORTS/sub/report.c");
  tree.Write("Shortcut report.lnk");
  tree.Write("Home report.URL");
  tree.Write("odd \xFF report\nname.TXT");
  tree.Write("locked/report.txt");
  tree.Write("unrelated.txt", "report inside");
  tree.Mkfifo("fifo report");
  tree.MkdirP("folder report.lnk");
  chmod(tree.Path("locked").c_str(), 0);

  tree.Write("proc/report.txt");
  const std::unordered_set<std::string> pruned = {tree.Path("proc")};
  Walk walk("report");
  walk.options.pruned = &pruned;
  std::vector<std::string> expected = {
      "Annual Report.DOC", "REPORTS",           "REPORTS/q1 Report.txt",    "REPORTS/sub/report.c",
      "fifo report",       "folder report.lnk", "odd \xFF report\nname.TXT"};
  if (geteuid() == 0) expected.insert(expected.end() - 1, "locked/report.txt");  // root reads all
  EXPECT_EQ(walk.Run(tree.root() + "//"), expected);  // the root's slashes never double up
  const auto& hits = walk.byPath;

  const ResultRecord& doc = hits.at("Annual Report.DOC");
  EXPECT_EQ(doc.path, tree.Path("Annual Report.DOC"));
  EXPECT_EQ(std::tie(doc.extension, doc.category, doc.sizeText, doc.dateText, doc.matchLine),
            std::make_tuple("doc", kDocuments, FormatSize(5), FormatHitDate(1700000000), ""));
  EXPECT_EQ(std::tie(hits.at("REPORTS").category, hits.at("REPORTS").sizeText),
            std::make_tuple(kFolders, ""));
  EXPECT_EQ(hits.at("folder report.lnk").category, kFolders);
  EXPECT_EQ(hits.at("odd \xFF report\nname.TXT").extension, "txt");
  // A folder's subtree comes before the folder's own hit.
  EXPECT_LT(walk.IndexOf(tree.Path("REPORTS/sub/report.c")), walk.IndexOf(tree.Path("REPORTS")));

  // Without size and date texts the same hits come in the same order, and only those texts go.
  Walk bare("report");
  bare.options.pruned = &pruned;
  bare.options.details = false;
  EXPECT_EQ(bare.Run(tree.root()), expected);
  ASSERT_EQ(bare.hits.size(), walk.hits.size());
  for (size_t i = 0; i < bare.hits.size(); ++i) {
    const ResultRecord& a = walk.hits[i];
    const ResultRecord& b = bare.hits[i];
    EXPECT_EQ(std::tie(b.path, b.extension, b.category, b.sizeText, b.dateText),
              std::make_tuple(a.path, a.extension, a.category, "", ""))
        << a.path;
  }
}

TEST(DirectoryWalk, ContentSearchAndTypeFilter) {
  testing::TestTree tree;
  tree.Write("a.txt", "one\nthe Query here\r\n");
  tree.Write("query.txt", "query on its first line\n");
  tree.Write("Shortcut.lnk", "query\n");
  tree.Write("a.pdf", "query\n");
  tree.Write("pics/query.png", "");
  tree.Write("pics/inside.txt", "query\n");
  tree.Mkfifo("pipe.txt");  // would hang the walk if opened
  tree.MkdirP("query folder");

  Walk all("query", true);
  const auto& hits = all.byPath;
  EXPECT_EQ(all.Run(tree.root()),
            (std::vector<std::string>{"a.txt", "pics/inside.txt", "pics/query.png", "query folder",
                                      "query.txt"}));
  EXPECT_EQ(hits.at("a.txt").matchLine, "the Query here");
  EXPECT_EQ(hits.at("query.txt").matchLine, "");  // found by name: never opened

  Walk pictures("query", true);  // other kinds are not opened, folders not hits themselves
  pictures.options.typeFilter = kPictures;
  EXPECT_EQ(pictures.Run(tree.root()), std::vector<std::string>{"pics/query.png"});
}

TEST(DirectoryWalk, LinksAreEntriesButNeverDescended) {
  testing::TestTree tree;
  tree.Write("target/inner.txt", "hello\n");
  tree.Write("file.txt", "the needle line\n");
  tree.Symlink("target", "needle dir.txt");
  tree.Symlink(".", "needle loop");
  tree.Symlink("file.txt", "to file");
  tree.Symlink("nowhere", "needle dangling.c");
  tree.Symlink("target", "needle.lnk");

  Walk walk("needle", true);
  const auto& hits = walk.byPath;
  ASSERT_EQ(walk.Run(tree.root()),
            (std::vector<std::string>{"file.txt", "needle dangling.c", "needle dir.txt",
                                      "needle loop", "needle.lnk", "to file"}));
  EXPECT_EQ(std::tie(hits.at("needle dir.txt").category, hits.at("needle dir.txt").sizeText),
            std::make_tuple(kFolders, ""));
  EXPECT_EQ(hits.at("needle loop").category, kFolders);
  EXPECT_EQ(hits.at("needle.lnk").category, kFolders);
  EXPECT_EQ(hits.at("to file").matchLine, "the needle line");
  EXPECT_EQ(hits.at("to file").sizeText, FormatSize(16));  // the target's size
  EXPECT_EQ(hits.at("needle dangling.c").category, kSourceCode);
  EXPECT_EQ(hits.at("needle dangling.c").sizeText, FormatSize(7));  // the link's own

  // The root is followed when it is a link, and is never a hit itself.
  Walk viaLink("e");
  EXPECT_EQ(viaLink.Run(tree.Path("needle dir.txt")), std::vector<std::string>{"inner.txt"});
  EXPECT_TRUE(Walk("e").Run(tree.Path("gone")).empty());
}

TEST(DirectoryWalk, DeepTreeNeedsFewDescriptors) {
  testing::TestTree tree;
  constexpr int kDepth = 5000;  // far past PATH_MAX
  int fd = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < kDepth; ++i) {
    ASSERT_EQ(mkdirat(fd, "d", 0755), 0);
    const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  close(fd);
  auto openFds = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit tight = old;
  tight.rlim_cur = std::min<rlim_t>(old.rlim_cur, 256);
  setrlimit(RLIMIT_NOFILE, &tight);
  const auto before = openFds();
  Walk walk("d");
  walk.Run(tree.root());
  const auto after = openFds();
  setrlimit(RLIMIT_NOFILE, &old);

  ASSERT_EQ(walk.hits.size(), static_cast<size_t>(kDepth));
  EXPECT_EQ(before, after);
  EXPECT_EQ(walk.hits.back().path, tree.Path("d"));
  const std::string& deepest = walk.hits.front().path;
  EXPECT_EQ(deepest.size(), tree.root().size() + 2 * kDepth);
}

TEST(DirectoryWalk, StopFinishesTheCurrentPathOnly) {
  testing::TestTree tree;
  tree.Write("q1/q2/q3/qa");
  tree.Write("q1/q2/q3/qb");

  Walk walk("q");
  walk.StopAt(1);
  walk.Run(tree.root());
  // The first file hit stops the walk; each folder on the way out is still matched.
  ASSERT_EQ(walk.hits.size(), 4u);
  EXPECT_TRUE(walk.hits[0].path.ends_with("/qa") || walk.hits[0].path.ends_with("/qb"));
  EXPECT_EQ(std::tuple(walk.IndexOf(tree.Path("q1/q2/q3")), walk.IndexOf(tree.Path("q1/q2")),
                       walk.IndexOf(tree.Path("q1"))),
            std::tuple(1u, 2u, 3u));

  Walk early("q");  // set before the start: nothing at all
  early.options.stop = &walk.stop;
  EXPECT_TRUE(early.Run(tree.root()).empty());
}

// Many files read for their contents, some matching, in folders shallow and deep (past the
// depth where folders give up their descriptor), with links and name hits among them.
void WriteContentTree(const testing::TestTree& tree) {
  std::string deep = "deep";
  for (int level = 0; level < 70; ++level) {
    if (level % 9 == 0) {
      tree.Write(deep + "/x.txt", "level " + std::to_string(level) + " needle\n");
      tree.Write(deep + "/y.txt", "nothing\n");
    }
    deep += "/d";
  }
  for (int i = 0; i < 400; ++i) {
    const std::string n = std::to_string(i);
    const std::string folder = i % 50 < 25 ? "" : "sub" + std::to_string(i / 50) + "/";
    tree.Write(folder + "f" + n + ".txt", i % 3 == 0 ? "a\nfile " + n + " Needle\n" : "plain\n");
    if (i % 40 == 0) tree.Symlink("f" + n + ".txt", folder + "link" + n + ".txt");
    if (i % 70 == 0) tree.Write(folder + "needle" + n + ".txt", "named\n");
  }
}

std::vector<std::pair<std::string, std::string>> PathsAndLines(const Walk& walk) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const ResultRecord& r : walk.hits) out.emplace_back(r.path, r.matchLine);
  return out;
}

TEST(DirectoryWalk, ContentThreadsGiveTheSequentialHitsInItsOrder) {
  testing::TestTree tree;
  WriteContentTree(tree);

  Walk sequential("needle", true);
  sequential.options.threads = 1;
  sequential.Run(tree.root());
  ASSERT_GT(sequential.hits.size(), 150u);
  EXPECT_EQ(sequential.byPath.at("f3.txt").matchLine, "file 3 Needle");
  EXPECT_EQ(sequential.byPath.at("sub0/f33.txt").matchLine, "file 33 Needle");
  EXPECT_EQ(sequential.byPath.count("sub0/link40.txt"), 0u);  // f40 does not match
  EXPECT_EQ(sequential.byPath.at("link120.txt").matchLine, "file 120 Needle");
  EXPECT_EQ(sequential.byPath.at("needle70.txt").matchLine, "");

  for (int threads : {2, 3}) {
    Walk parallel("needle", true);
    parallel.options.threads = threads;
    parallel.Run(tree.root());
    EXPECT_EQ(PathsAndLines(parallel), PathsAndLines(sequential)) << threads;
    for (const ResultRecord& r : parallel.hits) {
      const ResultRecord& expected = sequential.byPath.at(r.path.substr(tree.root().size() + 1));
      EXPECT_EQ(std::tuple(r.sizeText, r.dateText),
                std::tuple(expected.sizeText, expected.dateText))
          << r.path;
    }
  }
}

TEST(DirectoryWalk, StopWithContentThreadsEndsAtTheHitInHand) {
  testing::TestTree tree;
  WriteContentTree(tree);
  Walk sequential("needle", true);
  sequential.options.threads = 1;
  sequential.Run(tree.root());

  for (size_t stopAt : {1u, 5u, 40u}) {
    Walk parallel("needle", true);
    parallel.options.threads = 3;
    parallel.StopAt(stopAt);
    parallel.Run(tree.root());
    // Hits after the one in hand may only be folders on the way out, and none match here.
    ASSERT_EQ(parallel.hits.size(), stopAt);
    for (size_t i = 0; i < stopAt; ++i) EXPECT_EQ(parallel.hits[i].path, sequential.hits[i].path);
  }
}

TEST(DirectoryWalk, AHugeFileFurtherOnDoesNotHoldUpEarlierHits) {
  testing::TestTree tree;
  tree.Write("huge.txt", "");  // first, as some file systems list newest first
  ASSERT_EQ(truncate(tree.Path("huge.txt").c_str(), off_t{1} << 40), 0);  // minutes to read
  for (int i = 0; i < 200; ++i) tree.Write("f" + std::to_string(i) + ".txt", "needle\n");
  size_t before = 0;  // files listed before the huge one
  for (const auto& e : std::filesystem::directory_iterator(tree.root())) {
    if (e.path().filename() == "huge.txt") break;
    ++before;
  }
  if (before == 0) GTEST_SKIP() << "the huge file is listed first";

  // The last hit before the huge file stops the walk; a helper or the walker reading the
  // huge file ahead would keep that hit from ever arriving.
  Walk walk("needle", true);
  walk.options.threads = 3;
  walk.StopAt(before);
  walk.Run(tree.root());
  EXPECT_EQ(walk.hits.size(), before);
}

TEST(Drives, MountinfoGivesUnescapedPseudoMountPoints) {
  const std::string mountinfo =
      "22 1 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
      "23 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "25 1 0:5 / /mnt/my\\040sys\\134x rw - sysfs sysfs rw\n"
      "26 1 0:6 / /run rw,nosuid - tmpfs tmpfs rw\n"
      "garbage line\n"
      "28 1 0:8 / /dev rw - devtmpfs udev rw";  // no final line feed
  const PseudoMountTable table = PseudoMountsFrom(mountinfo);
  EXPECT_EQ(table.mountPoints,
            (std::unordered_set<std::string>{"/proc", "/mnt/my sys\\x", "/dev"}));
  EXPECT_EQ(table.devices,
            (std::unordered_set<dev_t>{makedev(0, 21), makedev(0, 5), makedev(0, 8)}));
}

}  // namespace
}  // namespace findlark
