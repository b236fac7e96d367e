#include "persist/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>

#include "hit_records.h"

namespace findlark {
namespace {

using testing::Slurp;
using testing::Spit;

TEST(ReadSettings, FirstLineGivesFlagFolderAndName) {
  const struct {
    std::string file;
    bool contents;
    std::string folder, name;
  } cases[] = {
      {"1\r\n", true, "", ""},
      {"0|/\r\n", false, "/", "/"},
      {"1|/home/ann/Docs\r\n", true, "/home/ann/Docs", "Docs"},
      {"1|Docs", true, "Docs", "Docs"},
      {"x|/srv/A\r\n", false, "/srv/A", "A"},
      {"1;/srv/A\n", true, "/srv/A", "A"},
      {"1| /a b \r\n0|/other\r\n", true, " /a b ", "a b "},
      {"\r\n1|/later\r\n", false, "", ""},
      {"", false, "", ""},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    Spit(dir.File("settings.ini"), c.file);
    Settings s;
    ReadSettings(dir.File("settings.ini"), s);
    EXPECT_EQ(std::tie(s.searchContents, s.searchFolder, s.folderName),
              std::tie(c.contents, c.folder, c.name))
        << c.file;
  }
}

TEST(ReadSettings, UnreadableOrHostileFilesChangeNothing) {
  testing::TempDir dir;
  Spit(dir.File("huge"), "1|/" + std::string(200000, 'h') + "\r\n");
  ::mkdir(dir.File("folder").c_str(), 0755);  // root reads anything, but not a folder as a file
  ::mkfifo(dir.File("fifo").c_str(), 0644);   // must not block waiting for a writer
  for (const char* name : {"missing", "huge", "folder", "fifo"}) {
    Settings s{true, "/keep", "keep"};
    ReadSettings(dir.File(name), s);
    EXPECT_TRUE(s.searchContents && s.searchFolder == "/keep") << name;
  }
  std::mt19937 rng(3);
  for (int i = 0; i < 200; ++i) {
    std::string bytes(rng() % 64, '\0');
    for (char& b : bytes) b = static_cast<char>(rng());
    Spit(dir.File("random"), bytes);
    Settings s;
    ReadSettings(dir.File("random"), s);
    EXPECT_EQ(s.searchContents, !bytes.empty() && bytes[0] == '1');
  }
}

TEST(WriteSettings, OneLineThatReadsBackAndKeepsTheOldFileOnFailure) {
  testing::TempDir dir;
  const std::string file = dir.File("settings.ini");
  Spit(file, "0|/old\r\nsecond line\r\n");
  ::chmod(file.c_str(), 0640);
  ASSERT_TRUE(WriteSettings(file, {true, "/home/ann/My Docs", ""}));
  EXPECT_EQ(Slurp(file), "1|/home/ann/My Docs\r\n");
  struct stat st {};
  ::stat(file.c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  Settings back;
  ReadSettings(file, back);
  EXPECT_EQ(back.folderName, "My Docs");
  EXPECT_EQ(SettingsLine({false, "", ""}), "0|\r\n");

  EXPECT_FALSE(WriteSettings(dir.File("missing/settings.ini"), {true, "/x", ""}));
  EXPECT_FALSE(WriteSettings(dir.path.string(), {true, "/x", ""}));
  EXPECT_EQ(Slurp(file), "1|/home/ann/My Docs\r\n");
}

}  // namespace
}  // namespace findlark
