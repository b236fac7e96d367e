// Office documents searched through their text, hostile archives, and the line buffer at every
// chunk size.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>

#include "office_fixtures.h"
#include "search/content_matcher.h"
#include "search/line_buffer.h"
#include "test_tree.h"

namespace findlark {
namespace {

using testing::Zip;
using testing::ZipBytes;

class StringSource : public ByteSource {
 public:
  explicit StringSource(std::string text) : text_(std::move(text)) {}
  ssize_t Read(char* out, size_t cap) override {
    const size_t n = std::min(cap, text_.size() - at_);
    std::memcpy(out, text_.data() + at_, n);
    at_ += n;
    return static_cast<ssize_t>(n);
  }

 private:
  std::string text_;
  size_t at_ = 0;
};

TEST(LineBuffer, GivesTheSameLineAtEveryChunkSize) {
  const struct {
    std::string text, query, line;
  } cases[] = {
      {"alpha\r\nbeta gamma\r\n", "gamma", "beta gamma"},
      {"one\ntwo\nthree", "three", "three"},
      {"x\r", "x", "x\r"},  // a CR without its LF stays
      {"ab\x1A"
       "cd\n",
       "cd", ""},
      {"ab\ncd\x1A", "cd", "cd"},
      {"préface\nÉTÉ brûlant\n", "été", "ÉTÉ brûlant"},
      {"aaaa\naab", "aab", "aab"},  // a partial match just before the edge
      {"needle\nneedle two\n", "needle two", "needle two"},
      {"\n\n\nx\n", "\n", ""},
      // Stray continuation bytes after a two-byte letter that folds: the tail carried over
      // must not begin inside that letter.
      {"\xC3\x9E\x9C\x9E\x9E" + std::string(2, '\0') + "\x9E\xA4" + std::string(1, '\0') +
           "\x9E\x07\xA4\x9E\x01" + std::string(1, '\0'),
       "\x9E\x9C", ""},
  };
  LineBuffer lines;
  for (const auto& c : cases) {
    for (size_t chunk = 1; chunk <= c.text.size() + 1; ++chunk) {
      StringSource source(c.text);
      EXPECT_EQ(lines.FirstMatch(source, QueryMatcher(c.query), nullptr, chunk), c.line)
          << c.text << " at chunk " << chunk;
    }
  }
}

TEST(LineBuffer, StopsBetweenChunks) {
  StringSource source(std::string(1000, 'a') + "\nneedle\n");
  const std::atomic<bool> stop{true};
  LineBuffer lines;
  EXPECT_EQ(lines.FirstMatch(source, QueryMatcher("needle"), &stop, 16), "");
}

// Paragraphs of every format; read at the normal chunk size and at tiny ones, which split the
// archive, the inflated XML and the text at every edge.
class Documents : public ::testing::TestWithParam<size_t> {
 protected:
  std::string Match(const std::string& bytes, const std::string& query) {
    tree.Write("doc", bytes);  // no extension: the format is told by the contents
    return MatchContent(tree.Path("doc"), QueryMatcher(FoldCase(query)), nullptr, GetParam());
  }
  testing::TestTree tree;
};

TEST_P(Documents, SearchesTheTextOneParagraphALine) {
  const std::string w = "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"";
  Zip docx = testing::Docx(testing::WordParagraph("Intro") +
                           testing::WordParagraph("The quarterly budget for Larkspur") +
                           "<w:p><w:r><w:t>Delph</w:t></w:r><w:r><w:rPr><w:b/></w:rPr><w:t>inium "
                           "blue</w:t></w:r></w:p>" +
                           testing::WordParagraph("Fish &amp; Chips &#233;t&#xE9; &lt;b&gt;") +
                           testing::WordParagraph("L'ÉTÉ À PARIS") +
                           "<w:p><w:pPr><w:tabs><w:tab w:val=\"left\"/></w:tabs></w:pPr>"
                           "<w:r><w:t>Name:</w:t><w:tab/><w:t>Value</w:t></w:r></w:p>"
                           "<w:tbl><w:tr><w:tc>" +
                           testing::WordParagraph("Cell one") + "</w:tc><w:tc>" +
                           testing::WordParagraph("Cell two") + "</w:tc></w:tr></w:tbl>");
  docx.push_back({"word/header1.xml",
                  "<w:hdr " + w + ">" + testing::WordParagraph("Confidential draft") + "</w:hdr>"});
  const std::string word = ZipBytes(docx);
  const std::string sheet = ZipBytes(testing::Xlsx(
      "<si><t>Revenue Q3</t></si><si><r><t>Rich </t></r><r><t>text</t></r>"
      "<rPh><t>reading aid</t></rPh></si>",
      "<row><c t=\"inlineStr\"><is><t>Inline total</t></is></c><c><v>42</v></c></row>"));
  const std::string slides = ZipBytes(testing::Pptx(
      {{10, "<p:sp><p:txBody><a:p><a:r><a:t>Slide ten</a:t></a:r></a:p></p:txBody></p:sp>"},
       {2,
        "<p:sp><p:txBody><a:p><a:r><a:t>Slide two</a:t></a:r><a:br/><a:r><a:t>goes on</a:t>"
        "</a:r></a:p><a:p><a:r><a:t>Second box line</a:t></a:r></a:p></p:txBody></p:sp>"}}));
  const std::string text = ZipBytes(
      testing::Odf("text",
                   "<office:text><text:h>Title Here</text:h><text:p>Hello<text:s text:c=\"2\"/> "
                   "World</text:p><text:p>Spaced\n     out</text:p><text:list><text:list-item>"
                   "<text:p>Item one</text:p></text:list-item></text:list></office:text>"));
  const std::string calc =
      ZipBytes(testing::Odf("spreadsheet",
                            "<office:spreadsheet><table:table><table:table-row><table:table-cell>"
                            "<text:p>Cell Text</text:p></table:table-cell></table:table-row>"
                            "</table:table></office:spreadsheet>"));
  const std::string book = ZipBytes(
      testing::Epub({{"b.xhtml", "<h1>Two</h1><p>Chapter\n   two text</p>"},
                     {"a%20b.xhtml", "<p>Chapter one</p><script>chapter script</script>"}}));
  // An older e-book: its DTD is named but never loaded, so &nbsp; is left out as a space.
  Zip older = testing::Epub({{"c.xhtml", "<p>Non&nbsp;breaking</p>"}});
  older[2].body.insert(older[2].body.find("<html"),
                       "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" "
                       "\"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd\">");
  const std::string oldBook = ZipBytes(older);
  const struct {
    const char* format;
    const std::string& bytes;
    std::string query, line;
  } cases[] = {
      {"docx", word, "larkspur", "The quarterly budget for Larkspur"},
      {"docx", word, "delphinium", "Delphinium blue"},  // one word over two runs
      {"docx", word, "fish & chips été <b>", "Fish & Chips été <b>"},
      {"docx", word, "été à paris", "L'ÉTÉ À PARIS"},
      {"docx", word, "name:\tvalue", "Name:\tValue"},
      {"docx", word, "cell two", "Cell two"},
      {"docx", word, "one cell", ""},
      {"docx", word, "confidential", "Confidential draft"},
      {"docx", word, "document", ""},  // the archive's member names are no text
      {"docx", word, "content_types", ""},
      {"docx", word, "rels", ""},
      {"docx", word, "w:t", ""},
      {"xlsx", sheet, "revenue", "Revenue Q3"},
      {"xlsx", sheet, "rich text", "Rich text"},
      {"xlsx", sheet, "reading aid", ""},
      {"xlsx", sheet, "inline", "Inline total"},
      {"xlsx", sheet, "sharedstrings", ""},
      {"pptx", slides, "slide", "Slide two goes on"},  // slide 2 comes before slide 10
      {"pptx", slides, "second box", "Second box line"},
      {"odt", text, "title", "Title Here"},
      {"odt", text, "hello   world", "Hello   World"},
      {"odt", text, "spaced out", "Spaced out"},
      {"odt", text, "item one", "Item one"},
      {"odt", text, "opendocument", ""},
      {"ods", calc, "cell text", "Cell Text"},
      {"epub", book, "chapter", "Chapter two text"},  // spine order, not member order
      {"epub", book, "one", "Chapter one"},
      {"epub", book, "script", ""},
      {"epub", book, "head title", ""},
      {"epub", book, "epub", ""},
      {"epub", oldBook, "non breaking", "Non breaking"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Match(c.bytes, c.query), c.line) << c.format << " " << c.query;
}

TEST_P(Documents, OtherZipsAreSearchedAsBytes) {
  testing::ZipMember notes{"notes.txt", "plain larkspur notes\n"};
  notes.deflate = false;
  EXPECT_TRUE(Match(ZipBytes({notes}), "larkspur").ends_with("plain larkspur notes"));
  // A package that has a content-types member but no office document in it.
  testing::ZipMember types{"[Content_Types].xml", "<Types/>"};
  types.deflate = false;
  EXPECT_NE(Match(ZipBytes({types, notes}), "larkspur"), "");
}

INSTANTIATE_TEST_SUITE_P(Chunks, Documents, ::testing::Values(kReadChunk, 1, 3));

// A stored document, so that its words are in the raw bytes too: reading them as bytes would
// find them.
Zip StoredDocx(const std::string& body) {
  Zip zip = testing::Docx(body);
  for (auto& m : zip) m.deflate = false;
  return zip;
}

TEST(HostileDocuments, GiveNoMatchWithinBoundedMemory) {
  testing::TestTree tree;
  tree.Write("secret.txt", "secretword\n");
  const std::string larkspur = testing::WordParagraph("Larkspur");
  const std::string good = ZipBytes(StoredDocx(larkspur));

  auto withPart = [&](auto change) {
    Zip zip = StoredDocx(larkspur);
    change(zip[2]);
    return ZipBytes(zip);
  };
  auto withXml = [&](const std::string& doctype, const std::string& body) {
    Zip zip = StoredDocx(body);
    zip[2].body.insert(zip[2].body.find("<w:document"), doctype);
    return ZipBytes(zip);
  };
  Zip bomb = testing::Docx("");
  bomb[2].body.clear();
  bomb[2].prefix = "<w:document xmlns:w=\"w\"><w:body><w:p><w:r><w:t>";
  bomb[2].body = std::string(1 << 20, 'a');
  bomb[2].repeat = 1024;  // 1 GiB of text in about a MiB
  bomb[2].suffix = "Larkspur</w:t></w:r></w:p></w:body></w:document>";
  Zip crowded = StoredDocx(larkspur);
  for (int i = 0; i < 12000; ++i) crowded.push_back({"word/media/p" + std::to_string(i), ""});
  Zip escaping = StoredDocx(larkspur);
  escaping.push_back({"../../evil.xml", "<x/>"});
  std::string corrupt = good;
  corrupt.replace(corrupt.find("PK\1\2"), 4, "XXXX");
  std::string laughs = "<!DOCTYPE w:document [<!ENTITY lol0 \"lol\">";
  for (int i = 1; i < 10; ++i) {
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&lol" + std::to_string(i - 1) + ";";
    laughs += "\">";
  }
  laughs += "]>";
  const std::string external =
      "<!DOCTYPE w:document [<!ENTITY x SYSTEM \"file://" + tree.Path("secret.txt") + "\">]>";

  const struct {
    const char* what;
    std::string bytes;
    std::string query;
  } cases[] = {
      {"cut short", good.substr(0, good.size() - 10), "larkspur"},
      {"cut in half", good.substr(0, good.size() / 2), "document"},
      {"broken directory", corrupt, "larkspur"},
      {"bad CRC", withPart([](auto& m) { m.badCrc = true; }), "larkspur"},
      {"encrypted", withPart([](auto& m) { m.encrypted = true; }), "larkspur"},
      {"unknown method", withPart([](auto& m) { m.method = 14; }), "larkspur"},
      {"zip bomb", ZipBytes(bomb), "larkspur"},
      {"12,000 members", ZipBytes(crowded), "larkspur"},
      {"../ in a name", ZipBytes(escaping), "larkspur"},
      {"billion laughs", withXml(laughs, larkspur + testing::WordParagraph("&lol9;")), "lol"},
      {"billion laughs", withXml(laughs, larkspur), "larkspur"},
      {"external entity", withXml(external, testing::WordParagraph("&x;")), "secretword"},
      {"external entity", withXml(external, larkspur), "larkspur"},
      {"not well-formed", ZipBytes(StoredDocx("<w:p><w:r><w:t>Larkspur</w:r></w:p>")), "larkspur"},
      {"giant attribute",
       ZipBytes(testing::Docx("<w:p w:x=\"" + std::string(9 << 20, 'a') + "\"/>" + larkspur)),
       "larkspur"},
  };
  ASSERT_EQ(MatchContent(
                [&] {
                  tree.Write("good", good);
                  return tree.Path("good");
                }(),
                QueryMatcher("larkspur")),
            "Larkspur");  // the same document, undamaged, matches
  for (const auto& c : cases) {
    tree.Write("doc", c.bytes);
    EXPECT_EQ(MatchContent(tree.Path("doc"), QueryMatcher(c.query)), "") << c.what;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 512L * 1024);  // KiB: inflating the bomb whole would pass this
}

}  // namespace
}  // namespace findlark
