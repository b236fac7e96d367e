#include "search/directory_walk.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>

#include "results/display_text.h"
#include "test_tree.h"

namespace findlark {
namespace {

using testing::TestTree;

struct Collector : HitSink {
  std::vector<ResultRecord> hits;
  std::function<void(const ResultRecord&)> after;
  void OnHit(ResultRecord&& record) override {
    hits.push_back(std::move(record));
    if (after) after(hits.back());
  }
  std::map<std::string, ResultRecord> ByPath() const {
    std::map<std::string, ResultRecord> map;
    for (const ResultRecord& r : hits) map[r.path] = r;
    return map;
  }
  size_t IndexOf(const std::string& path) const {
    for (size_t i = 0; i < hits.size(); ++i) {
      if (hits[i].path == path) return i;
    }
    return hits.size();
  }
};

struct Walk {
  explicit Walk(std::string query) : matcher(std::move(query)) { options.query = &matcher; }
  Collector& Run(const std::string& root) {
    SearchFolder(root, options, sink);
    return sink;
  }
  QueryMatcher matcher;
  WalkOptions options;
  Collector sink;
};

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dir != nullptr && readdir(dir) != nullptr) ++count;
  if (dir != nullptr) closedir(dir);
  return count;
}

TEST(DirectoryWalk, MatchesNamesAndRecordsEveryField) {
  TestTree tree;
  tree.Write("Annual Report.DOC", "12345");
  tree.Write("REPORTS/q1 Report.txt", "");
  tree.Write("REPORTS/sub/report.c", "");
  tree.Write("Shortcut report.lnk", "");
  tree.Write("Home report.URL", "");
  tree.Write("odd \xFF report\nname.TXT", "");
  tree.Write(".report.", "");
  tree.Write("unrelated.txt", "report inside");
  tree.MkdirP("folder report.lnk");
  tree.MkdirP("Project.old/report");
  tree.SetMtime("Annual Report.DOC", 1700000000);

  Walk walk("report");
  const Collector& sink = walk.Run(tree.root());
  const auto hits = sink.ByPath();
  const std::string root = tree.root() + "/";
  std::vector<std::string> paths;
  for (const auto& [path, record] : hits) paths.push_back(path.substr(root.size()));
  const std::vector<std::string> expected = {
      ".report.",          "Annual Report.DOC",        "Project.old/report",
      "REPORTS",           "REPORTS/q1 Report.txt",    "REPORTS/sub/report.c",
      "folder report.lnk", "odd \xFF report\nname.TXT"};
  EXPECT_EQ(paths, expected);
  EXPECT_EQ(sink.hits.size(), expected.size());  // no hit twice

  const ResultRecord& doc = hits.at(root + "Annual Report.DOC");
  EXPECT_EQ(doc.extension, "doc");
  EXPECT_EQ(doc.category, kDocuments);
  EXPECT_EQ(doc.sizeText, FormatSize(5));
  EXPECT_EQ(doc.dateText, FormatHitDate(1700000000));
  EXPECT_EQ(doc.matchLine, "");
  const ResultRecord& folder = hits.at(root + "REPORTS");
  EXPECT_EQ(folder.category, kFolders);
  EXPECT_EQ(folder.sizeText, "");
  EXPECT_EQ(hits.at(root + "folder report.lnk").category, kFolders);
  EXPECT_EQ(hits.at(root + "odd \xFF report\nname.TXT").extension, "txt");

  // A folder's subtree comes before the folder's own hit.
  EXPECT_LT(sink.IndexOf(root + "REPORTS/sub/report.c"), sink.IndexOf(root + "REPORTS"));
  EXPECT_LT(sink.IndexOf(root + "REPORTS/q1 Report.txt"), sink.IndexOf(root + "REPORTS"));
}

TEST(DirectoryWalk, ContentSearchAndTypeFilter) {
  TestTree tree;
  tree.Write("a.txt", "one\ntwo\nthe Query here\r\n");
  tree.Write("a.pdf", "query\n");
  tree.Write("query.txt", "query on its first line\n");
  tree.Write("Shortcut.lnk", "query\n");
  tree.Write("b.cpp", "nothing\n");
  tree.Write("pics/query.png", "");
  tree.Write("pics/inside.txt", "query\n");
  tree.Mkfifo("pipe.txt");
  tree.MkdirP("query folder");

  Walk all("query");
  all.options.searchContents = true;
  const auto hits = all.Run(tree.root()).ByPath();
  const std::string root = tree.root() + "/";
  ASSERT_EQ(hits.size(), 5u);
  EXPECT_EQ(hits.at(root + "a.txt").matchLine, "the Query here");
  EXPECT_EQ(hits.at(root + "query.txt").matchLine, "");  // by name: never opened
  EXPECT_EQ(hits.at(root + "pics/inside.txt").matchLine, "query");
  EXPECT_EQ(hits.count(root + "pics/query.png"), 1u);
  EXPECT_EQ(hits.count(root + "query folder"), 1u);

  Walk pictures("query");
  pictures.options.searchContents = true;
  pictures.options.typeFilter = kPictures;
  const Collector& only = pictures.Run(tree.root());
  ASSERT_EQ(only.hits.size(), 1u);  // folders descended but never hits themselves
  EXPECT_EQ(only.hits[0].path, root + "pics/query.png");

  Walk noContent("query");
  EXPECT_EQ(noContent.Run(tree.root()).hits.size(), 3u);
}

TEST(DirectoryWalk, LinksAreEntriesButNeverDescended) {
  TestTree tree;
  tree.Write("target/inner.txt", "hello\n");
  tree.Write("file.txt", "the needle line\n");
  tree.Symlink("target", "needle dir.txt");
  tree.Symlink(".", "needle loop");
  tree.Symlink("file.txt", "to file");
  tree.Symlink("nowhere", "needle dangling.c");
  tree.Write("needle.lnk", "");
  tree.Symlink("target", "needle.lnk2");

  Walk walk("needle");
  walk.options.searchContents = true;
  const Collector& sink = walk.Run(tree.root());
  const auto hits = sink.ByPath();
  const std::string root = tree.root() + "/";
  ASSERT_EQ(hits.size(), 6u) << "a descended link would repeat hits";
  EXPECT_EQ(hits.at(root + "needle dir.txt").category, kFolders);
  EXPECT_EQ(hits.at(root + "needle dir.txt").sizeText, "");
  EXPECT_EQ(hits.at(root + "needle loop").category, kFolders);
  EXPECT_EQ(hits.at(root + "to file").matchLine, "the needle line");
  EXPECT_EQ(hits.at(root + "to file").sizeText, FormatSize(16));  // the target's size
  EXPECT_EQ(hits.at(root + "needle dangling.c").category, kSourceCode);
  EXPECT_EQ(hits.at(root + "needle dangling.c").sizeText, FormatSize(7));  // the link's own
  EXPECT_EQ(hits.count(root + "file.txt"), 1u);

  // The root itself is followed when it is a link, and is never a hit.
  Walk viaLink("inner");
  const Collector& inner = viaLink.Run(tree.Path("needle dir.txt"));
  ASSERT_EQ(inner.hits.size(), 1u);
  EXPECT_EQ(inner.hits[0].path, tree.Path("needle dir.txt") + "/inner.txt");
}

TEST(DirectoryWalk, OddEntriesDoNotStopTheWalk) {
  TestTree tree;
  tree.Mkfifo("fifo x.txt");
  tree.Write("locked/x.txt", "");
  tree.Write("open/x.txt", "");
  tree.Chmod("locked", 0);
  Walk walk("x");
  walk.options.searchContents = true;
  const auto hits = walk.Run(tree.root()).ByPath();
  EXPECT_EQ(hits.count(tree.Path("fifo x.txt")), 1u);
  EXPECT_EQ(hits.count(tree.Path("open/x.txt")), 1u);
  if (geteuid() != 0) {
    EXPECT_EQ(hits.count(tree.Path("locked/x.txt")), 0u);
  }

  Walk missing("x");
  EXPECT_TRUE(missing.Run(tree.Path("no such folder")).hits.empty());
  EXPECT_TRUE(missing.Run(tree.Path("open/x.txt")).hits.empty());
}

TEST(DirectoryWalk, DeepTreeNeedsFewDescriptors) {
  TestTree tree;
  constexpr int kDepth = 5000;
  tree.MakeChain("deep", kDepth, "d");
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit tight = old;
  tight.rlim_cur = std::min<rlim_t>(old.rlim_cur, 256);
  setrlimit(RLIMIT_NOFILE, &tight);
  const int before = OpenDescriptors();
  Walk walk("d");
  const Collector& sink = walk.Run(tree.Path("deep"));
  const int after = OpenDescriptors();
  setrlimit(RLIMIT_NOFILE, &old);

  ASSERT_EQ(sink.hits.size(), static_cast<size_t>(kDepth));
  EXPECT_EQ(before, after);
  EXPECT_EQ(sink.hits.back().path, tree.Path("deep/d"));
  const std::string& deepest = sink.hits.front().path;
  EXPECT_EQ(std::count(deepest.begin(), deepest.end(), '/'),
            std::count(tree.root().begin(), tree.root().end(), '/') + 1 + kDepth);
}

TEST(DirectoryWalk, StopFinishesTheCurrentPathOnly) {
  TestTree tree;
  tree.Write("q1/q2/q3/qa", "");
  tree.Write("q1/q2/q3/qb", "");

  Walk walk("q");
  std::atomic<bool> stop{false};
  walk.options.stop = &stop;
  walk.sink.after = [&](const ResultRecord&) { stop = true; };
  const Collector& sink = walk.Run(tree.root());
  // The first file hit stops the walk; each folder on the way out is still matched.
  ASSERT_EQ(sink.hits.size(), 4u);
  EXPECT_TRUE(sink.hits[0].path == tree.Path("q1/q2/q3/qa") ||
              sink.hits[0].path == tree.Path("q1/q2/q3/qb"));
  EXPECT_EQ(sink.hits[1].path, tree.Path("q1/q2/q3"));
  EXPECT_EQ(sink.hits[3].path, tree.Path("q1"));
  EXPECT_EQ(sink.hits[2].path, tree.Path("q1/q2"));

  Walk early("q");
  std::atomic<bool> set{true};
  early.options.stop = &set;
  EXPECT_TRUE(early.Run(tree.root()).hits.empty());
}

TEST(DirectoryWalk, RootsAndPrunedFolders) {
  TestTree tree;
  tree.Write("a/x.txt", "");
  tree.Write("a/proc/x.txt", "");
  const std::unordered_set<std::string> pruned = {tree.Path("a/proc")};

  Walk walk("x");
  walk.options.pruned = &pruned;
  const auto hits = walk.Run(tree.root() + "//").ByPath();
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits.begin()->first, tree.Path("a/x.txt"));

  const std::tuple<const char*, const char*, const char*> joins[] = {
      {"/", "a", "/a"}, {"dir/", "a", "dir/a"}, {"dir", "a", "dir/a"}, {"", "a", "a"}};
  for (const auto& [folder, name, joined] : joins) EXPECT_EQ(JoinPath(folder, name), joined);
  const std::pair<const char*, const char*> roots[] = {
      {"/", "/"}, {"///", "/"}, {"dir/", "dir"}, {"dir//", "dir"}, {"/a/b", "/a/b"}, {"", ""}};
  for (const auto& [in, out] : roots) EXPECT_EQ(NormalizeRoot(in), out);
}

}  // namespace
}  // namespace findlark
