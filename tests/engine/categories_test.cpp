#include "search/categories.h"

#include <gtest/gtest.h>

namespace findlark {
namespace {

struct Case {
  const char* name;
  bool folder;
  const char* extension;
  int category;  // -2: skipped
};

TEST(Categories, NamesAreClassifiedByTheirLastExtension) {
  const Case cases[] = {
      {"Report.DOC", false, "doc", kDocuments},
      {"notes.txt", false, "txt", kDocuments},
      {"report.docx", false, "docx", kOther},
      {"index.shtml", false, "shtml", kOther},
      {"photo.jpe", false, "jpe", kOther},
      {"tune.m4a", false, "m4a", kOther},
      {"README", false, "", kOther},
      {"file.", false, "", kOther},
      {".htaccess", false, "htaccess", kOther},
      {"backup.tar.gz", false, "gz", kArchives},
      {"notes.txt.exe", false, "exe", kApplications},
      {"util.H", false, "h", kSourceCode},
      {"parser.Cpp", false, "cpp", kSourceCode},
      {"x.as", false, "as", kSourceCode},
      {"clip.RMVB", false, "rmvb", kVideo},
      {"song.midi", false, "midi", kMusic},
      {"page.mht", false, "mht", kWebpages},
      {"doc.pdf", false, "pdf", kPdfDocuments},
      {"sheet.xls", false, "xls", kSpreadsheets},
      {"deck.pps", false, "pps", kPresentations},
      {"pic.jpeg", false, "jpeg", kPictures},
      {"Shortcut.lnk", false, "lnk", -2},
      {"Home.URL", false, "url", -2},
      {"Music.mp3", true, "mp3", kFolders},
      {"Links.lnk", true, "lnk", kFolders},
      {"Project.old", true, "old", kFolders},
      {"ÉTÉ.TXT", false, "txt", kDocuments},
      {"carte.ÉTÉ", false, "été", kOther},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string extension = ExtensionOf(c.name);
    EXPECT_EQ(extension, c.extension);
    const std::optional<FileCategory> category = ClassifyEntry(c.folder, extension);
    EXPECT_EQ(category.value_or(-2), c.category);
    if (category) {
      const bool textual = c.category == kDocuments || c.category == kWebpages ||
                           c.category == kSourceCode || c.category == kOther;
      EXPECT_EQ(IsContentSearchable(*category), textual);
    }
  }
}

TEST(Categories, TitleDropsTheLastExtensionOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"Annual Report.DOC", "Annual Report"},
      {"x.doc", "x"},
      {".htaccess", ""},
      {"README", "README"},
      {"file.", "file"},
      {"a.tar.gz", "a.tar"},
      {"Project.old", "Project"},
  };
  for (const auto& [name, title] : cases) EXPECT_EQ(TitleOf(name), title) << name;
}

TEST(Categories, ByNameIgnoresAsciiCase) {
  EXPECT_EQ(CategoryByName("source code"), kSourceCode);
  EXPECT_EQ(CategoryByName("PDF DOCUMENTS"), kPdfDocuments);
  EXPECT_EQ(CategoryByName("Other"), kOther);
  EXPECT_EQ(CategoryByName("Sourcecode"), std::nullopt);
  EXPECT_EQ(CategoryByName(""), std::nullopt);
}

}  // namespace
}  // namespace findlark
