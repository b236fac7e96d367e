// Categories, case folding and the content matcher: the rules every hit goes through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "search/categories.h"
#include "search/content_matcher.h"
#include "search/file_batch.h"
#include "test_tree.h"
#include "test_walk.h"

namespace findlark {
namespace {

const std::string kKelvin = "\xE2\x84\xAA";  // folds to an ASCII 'k' elsewhere; kept here

TEST(Categories, NameGivesExtensionTitleAndCategory) {
  const struct {
    const char* name;
    bool folder;
    const char* extension;
    const char* title;
    int category;  // -1: skipped
  } cases[] = {
      {"Report.DOC", false, "doc", "Report", kDocuments},
      {"README", false, "", "README", kOther},
      {"file.", false, "", "file", kOther},
      {".htaccess", false, "htaccess", "", kOther},
      {"backup.tar.gz", false, "gz", "backup.tar", kArchives},
      {"notes.txt.exe", false, "exe", "notes.txt", kApplications},
      {"Shortcut.lnk", false, "lnk", "Shortcut", -1},
      {"Home.URL", false, "url", "Home", -1},
      {"x.lnk", true, "lnk", "x", kFolders},
      {"Project.old", true, "old", "Project", kFolders},
      {"carte.ÉTÉ", false, "été", "carte", kOther},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ExtensionOf(c.name), c.extension);
    EXPECT_EQ(TitleOf(c.name), c.title);
    EXPECT_EQ(ClassifyEntry(c.folder, ExtensionOf(c.name)).value_or(-1), c.category);
  }
}

// Every extension with a category of its own, written out here and not taken from the program's
// table, and near misses that are Other. Only the textual categories are read for their contents:
// opening a file is costly and, for a PDF or a picture, wrong.
TEST(Categories, EveryKnownExtensionAndWhetherItsFilesAreRead) {
  const struct {
    int category;
    bool read;
    const char* extensions;
  } rows[] = {
      {kDocuments, true, "txt doc rtf"},
      {kPictures, false, "jpg png bmp gif jpeg"},
      {kMusic, false, "mp3 wma wav ogg mid midi ra"},
      {kVideo, false, "mpg mpeg wmv avi rv rmvb mp4"},
      {kWebpages, true, "html htm mht"},
      {kPdfDocuments, false, "pdf"},
      {kSpreadsheets, false, "xls"},
      {kPresentations, false, "ppt pps"},
      {kApplications, false, "exe"},
      {kArchives, false, "zip rar cab tar gz"},
      {kSourceCode, true, "c cpp h pas java pl js vbs php asp jsp css asm as"},
      {kOther, true, "docx xlsx htmls mp r cp g tgz jpe"},
  };
  for (const auto& row : rows) {
    std::istringstream words(row.extensions);
    for (std::string extension; words >> extension;) {
      const std::optional<FileCategory> category = ClassifyEntry(false, extension);
      EXPECT_EQ(category.value_or(-1), row.category) << extension;
      EXPECT_EQ(IsContentSearchable(category.value_or(kFolders)), row.read) << extension;
    }
  }
  EXPECT_FALSE(IsContentSearchable(*ClassifyEntry(true, "txt")));
}

TEST(CaseFold, FoldsLettersAndLeavesTheRest) {
  const std::pair<std::string, std::string> cases[] = {
      {"Hello WORLD @[`{", "hello world @[`{"},
      {"ÉTÉ Ж Ω", "été ж ω"},
      {"İstanbul", "İstanbul"},  // would land in ASCII: kept
      {kKelvin + "elvin", kKelvin + "elvin"},
      {"Ⱥ", "ⱥ"},                            // two bytes become three
      {"\xFF\xC3(A\xE9", "\xFF\xC3(a\xE9"},  // invalid bytes stay
      {"\xC0\x81Z", "\xC0\x81z"},            // overlong form is not decoded
      {"\xED\xA0\x80X", "\xED\xA0\x80x"},    // nor is a surrogate
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(FoldCase(in), out) << in;
  EXPECT_EQ(NormalizeQuery(" \t\n\r\v\fReport ÉTÉ\f\v\r\n\t "), "report été");
}

// Folded query against unfolded text, on the byte-wise ASCII path (16 bytes at a time, then one
// at a time) and on the path that folds the text first.
TEST(CaseFold, MatcherFindsTheQueryAsIfTheTextWereFolded) {
  const std::string x20(20, 'x');
  const struct {
    std::string query, text;
    bool found;
  } cases[] = {
      {"elvin", kKelvin + "ELVIN", true},  // the Kelvin sign does not fold into ASCII
      {"istanbul", "İSTANBUL", false},
      {"İstanbul", "İSTANBUL", true},
      {"été", "ETE", false},
      {"ⱥb", "xȺB", true},  // two bytes fold to three
      {"ab", "a\377b", false},
      {"a\377b", "A\377B", true},
      {"@", "`", false},
      {"`", "@", false},
      {"[", "{", false},
      {"long query over sixteen bytes", "A LONG QUERY OVER SIXTEEN BYTES, here", true},
      {"long query over sixteen bytes", "A LONG QUERY OVER SIXTEEN BYTEZ, here", false},
      {"long query over sixteen bytes", "A LONG QUERX OVER SIXTEEN BYTES, here", false},
      {"abc", x20 + "aXc" + x20, false},  // first and last letters agree, the middle not
      {"abc", x20 + "aXc aBc" + x20, true},
      {"abc", "ABC" + x20, true},
      {"abc", x20 + "aBC", true},  // past the last whole block of 16
      {"abc", x20 + "aB", false},
  };
  std::string scratch;
  for (const auto& c : cases) {
    EXPECT_EQ(QueryMatcher(c.query).Contains(c.text, scratch), c.found)
        << "query '" << c.query << "' text '" << c.text << "'";
  }
}

// Every case runs at the normal read size and at a tiny one, which puts a chunk edge everywhere.
struct ContentMatcher : ::testing::TestWithParam<size_t> {
  std::string Match(const std::string& content, const std::string& query) {
    tree.Write("f.txt", content);
    return MatchContent(tree.Path("f.txt"), QueryMatcher(query));
  }
  std::string MatchContent(const std::string& path, const QueryMatcher& query,
                           const std::atomic<bool>* stop = nullptr) {
    return findlark::MatchContent(path, query, stop, GetParam());
  }
  testing::TestTree tree;
};

// UTF-16 text with its mark, as bytes: each unit of `text` in the given order.
std::string Utf16(std::u16string_view text, bool big) {
  std::string out = big ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t u : text) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += big ? hi : lo;
    out += big ? lo : hi;
  }
  return out;
}

// Each text is read at every chunk size up to its length, so every byte lands on an edge.
TEST(ContentLines, FirstMatchingLineAsReadAtEveryChunkSize) {
  const struct {
    std::string content, query, line;
  } cases[] = {
      {"first line\nHello World\nworld again\n", "world", "Hello World"},
      {"a\r\nThe Match\r\nz\r\n", "match", "The Match"},
      {"no end of line: FOUND", "found", "no end of line: FOUND"},
      {"lone\rCR Kept\n", "cr", "lone\rCR Kept"},
      {"x\r", "x", "x\r"},  // a CR without its LF stays
      {"", "x", ""},
      {"split ac\nross lines\n", "across", ""},
      {"before\032after target\n", "target", ""},
      {"target\x1A", "target", "target"},
      {std::string("bin\0ary ta\0rget\nTarget two\n", 27), "target", "Target two"},
      {"L'ÉTÉ est là\n", "été", "L'ÉTÉ est là"},
      {kKelvin + "elvin\nkelvin\n", "kelvin", "kelvin"},
      {"aaaa\naab", "aab", "aab"},  // a partial match just before the edge
      // Each ẞ is a byte longer than the ß it folds to: the tail carried over must hold the
      // longer unfolded match.
      {"pad\nx aẞẞẞẞẞẞb y\n", "aßßßßßßb", "x aẞẞẞẞẞẞb y"},
      {"needle\nneedle two\n", "needle two", "needle two"},
      {"\n\n\nx\n", "\n", ""},
      // Stray continuation bytes after a two-byte letter that folds: the tail carried over
      // must not begin inside that letter.
      {std::string("\xC3\x9E\x9C\x9E\x9E\0\0\x9E\xA4\0\x9E\x07\xA4\x9E\x01\0", 16), "\x9E\x9C", ""},
      // Text with a UTF-16 byte-order mark is searched as its UTF-8 conversion.
      {Utf16(u"first\r\nL'ÉTÉ à Paris\r\n", false), "été", "L'ÉTÉ à Paris"},
      {Utf16(u"first\r\nL'ÉTÉ à Paris\r\n", true), "été", "L'ÉTÉ à Paris"},
      {Utf16(u"Ж\U0001F600 smile\n", true), "ж\U0001F600", "Ж\U0001F600 smile"},
      {Utf16(u"odd tail", false) + "x", "tail", "odd tail"},  // a lone last byte is dropped
      {Utf16(u"odd tail", true) + "x", "odd", "odd tail"},
      {Utf16(u"lone \xD800 high", false), "lone", "lone \uFFFD high"},
      {Utf16(u"lone \xDC00", true), "lone", "lone \uFFFD"},
      {Utf16(u"split ac\nross\n", false), "across", ""},
      {Utf16(u"é", false), "\xE9", ""},  // the raw bytes are not what is searched
      {"\xFF\xFE", "x", ""},
      {std::string("H\0i\0 there\0", 11), "there",
       std::string("H\0i\0 there\0", 11)},  // no mark: bytes
  };
  testing::TestTree tree;
  for (const auto& c : cases) {
    tree.Write("f.txt", c.content);
    for (size_t chunk = 1; chunk <= c.content.size() + 1; ++chunk) {
      EXPECT_EQ(MatchContent(tree.Path("f.txt"), QueryMatcher(c.query), nullptr, chunk), c.line)
          << c.content << " at chunk " << chunk;
    }
    EXPECT_EQ(MatchContent(tree.Path("f.txt"), QueryMatcher(c.query)), c.line) << c.content;
  }
}

// A UTF-16 line that runs across the 256 KiB read and the 64 KiB conversion pieces.
TEST(ContentLines, AUtf16LineAcrossTheReadAndConversionPieces) {
  testing::TestTree tree;
  tree.Write("f.txt", Utf16(std::u16string(200000, u'ü') + u"\nxy Needle\n", false));
  EXPECT_EQ(MatchContent(tree.Path("f.txt"), QueryMatcher("needle")), "xy Needle");
}

TEST_P(ContentMatcher, CutsAVeryLongLineAtACharacterBoundary) {
  std::string content = "x";  // 3 MB of two-byte characters, no line feed, the match at the end
  while (content.size() < (3u << 20)) content += "é";
  const std::string line = Match(content + "TAIL", "tail");
  ASSERT_GT(line.size(), kMaxMatchLine - 4);
  ASSERT_LE(line.size(), kMaxMatchLine);
  EXPECT_EQ(line, content.substr(0, line.size()));
  EXPECT_NE(static_cast<unsigned char>(line.back()), 0xC3);
}

TEST_P(ContentMatcher, FifosAndDevicesReturnAtOnce) {
  tree.Mkfifo("pipe.txt");  // nobody writes: a blocking open would hang here
  EXPECT_EQ(MatchContent(tree.Path("pipe.txt"), QueryMatcher("x")), "");
  EXPECT_EQ(MatchContent("/dev/zero", QueryMatcher("x")), "");  // endless, no line feed
  EXPECT_EQ(MatchContent(tree.root(), QueryMatcher("x")), "");
}

TEST(ContentMatcherAt, FilesOnUnreadableDevicesAreRefusedOnceOpen) {
  // The folder's own device stands in for a pseudo file system. A plain name is opened without
  // a look-up first, so only the check on the open descriptor can refuse it.
  testing::TestTree tree;
  tree.Write("f.txt", "needle");
  tree.Symlink(tree.Path("f.txt"), "link");
  struct stat st;
  ASSERT_EQ(stat(tree.root().c_str(), &st), 0);
  const std::unordered_set<dev_t> none;
  const std::unordered_set<dev_t> here = {st.st_dev};
  const int dirFd = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dirFd, 0);
  for (const auto& [name, follow] : {std::pair{"f.txt", false}, std::pair{"link", true}}) {
    for (const auto* devices : {&none, &here}) {
      const std::string line =
          MatchContentAt(dirFd, name, QueryMatcher("needle"), nullptr, follow, nullptr, devices);
      EXPECT_EQ(line, devices == &none ? "needle" : "") << name;
    }
  }
  close(dirFd);
}

// Files of one folder opened and read together are each a hit of its own kind.
TEST(ContentMatcherAt, FilesReadTogetherKeepTheirOwnExtensions) {
  testing::TestTree tree;
  for (const char* name : {"a.txt", "b.md", "c"}) tree.Write(name, "needle");
  testing::Walk walk("needle", true);
  walk.Run(tree.root());
  std::vector<std::string> got;
  for (const auto& [path, hit] : walk.byPath) got.push_back(path + "|" + hit.extension);
  EXPECT_EQ(got, (std::vector<std::string>{"a.txt|txt", "b.md|md", "c|"}));
}

// Files opened, read and closed many at a time: each descriptor is its own name's, a missing
// name gets -1, a read moves the file offset as read() does, and nothing stays open at the end.
TEST(FileBatch, OpensReadsAndClosesEachFileAsOnItsOwn) {
  testing::TestTree tree;
  const char* names[] = {"a", "b", "missing", "c"};
  for (const char* name : {"a1", "b2", "c3"}) tree.Write(std::string(1, name[0]), name);
  const int dirFd = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const auto openCount = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  FileBatch& batch = FileBatch::ThisThread();
  batch.Release();  // what MatchContentAt left to close
  const auto before = openCount();
  int fds[4];
  batch.OpenAll(dirFd, names, 4, kContentOpenFlags, fds);
  EXPECT_EQ(fds[2], -1);
  const int present[] = {fds[0], fds[1], fds[3]};
  char heads[3] = {};
  char* buffers[] = {&heads[0], &heads[1], &heads[2]};
  const size_t one[] = {1, 1, 1};
  ssize_t got[3];
  batch.ReadAll(present, buffers, one, 3, got);
  std::string read(heads, 3);
  for (const int fd : present) {
    char c = '-';
    EXPECT_EQ(::read(fd, &c, 1), 1);
    read += c;
    batch.Close(fd);
  }
  batch.Release();
  EXPECT_EQ(read, "abc123");
  EXPECT_EQ(openCount(), before);
  close(dirFd);
}

TEST_P(ContentMatcher, StopsInsideAHugeFileWithoutLineFeeds) {
  const int fd = open(tree.Path("huge.txt").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(ftruncate(fd, off_t{1} << 40), 0);  // a terabyte of holes: minutes to read
  close(fd);
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
  });
  EXPECT_EQ(MatchContent(tree.Path("huge.txt"), QueryMatcher("absent"), &stop), "");
  stopper.join();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 512L * 1024);  // KiB: a whole-line buffer would pass this at once
}

INSTANTIATE_TEST_SUITE_P(Chunks, ContentMatcher, ::testing::Values(kReadChunk, 5));

}  // namespace
}  // namespace findlark
