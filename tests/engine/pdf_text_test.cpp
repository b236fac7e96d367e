// PDF documents searched through their text, and the sandbox the extractor runs in.
#include "search/pdf_text.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "search/content_matcher.h"
#include "search/directory_walk.h"
#include "test_tree.h"

namespace findlark {
namespace {

// A small PDF: one page per content stream, Helvetica, each stream deflated or not.
std::string MakePdf(const std::vector<std::string>& pages, bool deflate) {
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", "",
                                      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  std::string kids;
  for (size_t i = 0; i < pages.size(); ++i) {
    const size_t page = objects.size() + 1;
    kids += std::to_string(page) + " 0 R ";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font "
                      "<< /F1 3 0 R >> >> /Contents " + std::to_string(page + 1) + " 0 R >>");
    std::string data = pages[i];
    std::string filter;
    if (deflate) {
      uLongf len = compressBound(data.size());
      std::string packed(len, '\0');
      compress(reinterpret_cast<Bytef*>(packed.data()), &len,
               reinterpret_cast<const Bytef*>(data.data()), data.size());
      packed.resize(len);
      data = packed;
      filter = " /Filter /FlateDecode";
    }
    objects.push_back("<< /Length " + std::to_string(data.size()) + filter + " >>\nstream\n" +
                      data + "\nendstream");
  }
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>";
  std::string out = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t at : offsets) {
    char entry[24];
    snprintf(entry, sizeof entry, "%010zu 00000 n \n", at);
    out += entry;
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return out;
}

std::string Text(const std::string& line) {
  return "BT /F1 12 Tf 72 700 Td (" + line + ") Tj ET";
}

class PdfText : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!extractor.Available()) GTEST_SKIP() << "pdftotext or findlark-pdf-sandbox is missing";
  }
  std::string Match(const std::string& bytes, const std::string& query) {
    tree.Write("doc.pdf", bytes);
    return MatchContent(tree.Path("doc.pdf"), QueryMatcher(query), nullptr, kReadChunk,
                        {&extractor, true});
  }
  PdfExtractor extractor{"/usr/bin/pdftotext", FINDLARK_PDF_SANDBOX, {}};
  testing::TestTree tree;
};

TEST_F(PdfText, FindsTheLineHoldingTheText) {
  const std::vector<std::string> three = {Text("Cover"), Text("Contents"),
                                          Text("Invoice for Kingfisher Ltd")};
  const std::string split = "BT /F1 12 Tf 72 700 Td (Kingfisher) Tj 0 -40 Td (Ltd owes) Tj ET";
  const std::string whole = MakePdf(three, false);
  const struct {
    const char* what;
    std::string bytes, query, line;
  } cases[] = {
      {"page three", whole, "kingfisher ltd", "Invoice for Kingfisher Ltd"},
      {"deflated streams", MakePdf(three, true), "kingfisher ltd", "Invoice for Kingfisher Ltd"},
      {"split over lines", MakePdf({split}, true), "kingfisher ltd", ""},
      {"split over lines", MakePdf({split}, true), "ltd", "Ltd owes"},
      {"no text layer", MakePdf({"0 0 1 rg 72 72 200 200 re f"}, false), "kingfisher", ""},
      {"raw bytes are not text", whole, "helvetica", ""},
      {"cut short", whole.substr(0, whole.find("3 0 obj")), "cover", ""},
      {"not a PDF", "Kingfisher Ltd\n", "kingfisher", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Match(c.bytes, c.query), c.line) << c.what;
}

TEST_F(PdfText, OnlyWhenAskedAndOnlyInAContentSearch) {
  tree.Write("a/invoice.pdf", MakePdf({Text("Kingfisher Ltd")}, true));
  tree.Write("a/notes", MakePdf({Text("Kingfisher notes")}, false));  // told by its content
  tree.Write("a/z.txt", "kingfisher text\n");
  for (bool pdf : {false, true}) {
    struct Sink : HitSink {
      void OnHit(ResultRecord&& r) override { lines.push_back(r.path.substr(r.path.rfind('/') + 1) + ": " + r.matchLine); }
      std::vector<std::string> lines;
    } sink;
    const QueryMatcher query("kingfisher");
    WalkOptions options;
    options.query = &query;
    options.searchContents = true;
    options.pdf = pdf ? &extractor : nullptr;
    options.threads = 1;
    SearchFolder(tree.root(), options, sink);
    const std::vector<std::string> bytes = {"z.txt: kingfisher text"};
    const std::vector<std::string> text = {"invoice.pdf: Kingfisher Ltd",
                                           "notes: Kingfisher notes", "z.txt: kingfisher text"};
    std::sort(sink.lines.begin(), sink.lines.end());
    // Without the option, the uncompressed PDF's raw bytes hold no "kingfisher" on a line
    // of their own: its stream line reads "BT ... (Kingfisher notes) Tj ET".
    if (!pdf) {
      ASSERT_EQ(sink.lines.size(), 2u);
      EXPECT_TRUE(sink.lines[0].starts_with("notes: BT /F1 12 Tf")) << sink.lines[0];
      EXPECT_EQ(sink.lines[1], bytes[0]);
    } else {
      EXPECT_EQ(sink.lines, text);
    }
  }
  EXPECT_EQ(extractor.Failures(), 0u);
}

// The stand-in tries one escape per document; each must fail or be cut off, and the next
// document is read all the same.
TEST(PdfSandbox, EveryEscapeFailsOrIsCutOff) {
  PdfExtractor::Limits limits;
  limits.seconds = 2;
  limits.cpuSeconds = 1;
  limits.maxText = 1 << 20;
  PdfExtractor extractor(FINDLARK_PDF_STANDIN, FINDLARK_PDF_SANDBOX, limits);
  ASSERT_TRUE(extractor.Available());
  unlink("/tmp/findlark-standin-wrote");
  const struct {
    const char* what;
    const char* line;
    size_t failures;  // counted so far
  } cases[] = {
      {"plain", "plain blocked Kingfisher", 0},
      {"write", "write blocked Kingfisher", 0},
      {"passwd", "passwd blocked Kingfisher", 0},
      {"tcp", "tcp blocked Kingfisher", 0},
      {"unix", "unix blocked Kingfisher", 0},
      {"exec", "exec blocked Kingfisher", 0},
      {"fork", "fork blocked Kingfisher", 0},
      {"signal", "signal blocked Kingfisher", 0},
      {"alloc", "alloc blocked Kingfisher", 0},
      {"loop", "", 1},
      {"sleep", "", 2},
      {"flood", "", 3},
      {"crash", "", 4},
      {"plain", "plain blocked Kingfisher", 4},
  };
  testing::TestTree tree;
  for (const auto& c : cases) {
    tree.Write("doc.pdf", std::string("%PDF-") + c.what + "\n");
    EXPECT_EQ(MatchContent(tree.Path("doc.pdf"), QueryMatcher("kingfisher"), nullptr, kReadChunk,
                           {&extractor, true}),
              c.line)
        << c.what;
    EXPECT_EQ(extractor.Failures(), c.failures) << c.what;
  }
  EXPECT_NE(access("/tmp/findlark-standin-wrote", F_OK), 0);
}

}  // namespace
}  // namespace findlark
