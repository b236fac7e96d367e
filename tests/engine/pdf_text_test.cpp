// PDF documents searched through their text, and the sandbox the extractor runs in.
#include "search/pdf_text.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cases.h"
#include "fixture.h"
#include "search/content_matcher.h"
#include "search/directory_walk.h"
#include "test_tree.h"
#include "test_walk.h"

namespace findlark {
namespace {

// 100,000 pages sharing one content stream, the word on the first page only.
std::string ManyPages() {
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Count 100000 /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 0 R >> "
      ">> /Kids [",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
      "<< /Length 47 >>\nstream\nBT /F1 12 Tf 72 700 Td (Kingfisher first) Tj ET\nendstream",
      "<< /Length 35 >>\nstream\nBT /F1 12 Tf 72 700 Td (page) Tj ET\nendstream"};
  for (int page = 0; page < 100000; ++page) {
    objects[1] += std::to_string(objects.size() + 1) + " 0 R ";
    objects.push_back(std::string("<< /Type /Page /Parent 2 0 R /Contents ") +
                      (page == 0 ? "4" : "5") + " 0 R >>");
  }
  objects[1] += "] >>";
  std::string out = "%PDF-1.4\n", xref = "0000000000 65535 f \n";
  for (size_t i = 0; i < objects.size(); ++i) {
    xref += std::string(10 - std::to_string(out.size()).size(), '0') + std::to_string(out.size()) +
            " 00000 n \n";
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::string size = std::to_string(objects.size() + 1);
  return out + "xref\n0 " + size + "\n" + xref + "trailer\n<< /Size " + size +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(out.size()) + "\n%%EOF\n";
}

class PdfText : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!extractor.Available()) GTEST_SKIP() << "pdftotext or findlark-pdf-sandbox is missing";
  }
  // `pdf`: a fixture under pdf/ by its name, or a document's bytes.
  std::string Match(const std::string& pdf, const std::string& query,
                    PdfExtractor* with = nullptr) {
    tree.Write("doc.pdf", pdf.ends_with(".pdf") || pdf.ends_with(".gz")
                              ? testing::ReadFixture("pdf/" + pdf)
                              : pdf);
    return MatchContent(tree.Path("doc.pdf"), QueryMatcher(query), nullptr, kReadChunk,
                        {with != nullptr ? with : &extractor, true});
  }
  PdfExtractor extractor{"/usr/bin/pdftotext", FINDLARK_PDF_SANDBOX, {}};
  testing::TestTree tree;
};

TEST_F(PdfText, FindsTheLineHoldingTheText) {
  for (const auto& c : testing::Cases("pdf_lines.tsv", 3))
    EXPECT_EQ(Match(c[0], c[1]), c[2]) << c[0];
}

TEST_F(PdfText, HostileDocumentsAreCutOff) {
  PdfExtractor::Limits limits;
  limits.seconds = 2;
  PdfExtractor quick("/usr/bin/pdftotext", FINDLARK_PDF_SANDBOX, limits);
  for (const auto& c : testing::Cases("pdf_hostile.tsv", 3)) {
    EXPECT_EQ(Match(c[0] == "100,000 pages" ? ManyPages() : c[0], "kingfisher", &quick), c[1])
        << c[0];
    EXPECT_EQ(std::to_string(quick.Failures()), c[2]) << c[0];
  }
}

TEST(PdfSandbox, EveryEscapeFailsOrIsCutOff) {
  PdfExtractor::Limits limits;
  limits.seconds = 2;
  limits.cpuSeconds = 1;
  limits.maxText = 1 << 20;
  PdfExtractor extractor(FINDLARK_PDF_STANDIN, FINDLARK_PDF_SANDBOX, limits);
  ASSERT_TRUE(extractor.Available());
  unlink("/tmp/findlark-standin-wrote");
  testing::TestTree tree;
  for (const auto& c : testing::Cases("pdf_escapes.tsv", 3)) {
    tree.Write("doc.pdf", "%PDF-" + c[0] + "\n");
    EXPECT_EQ(MatchContent(tree.Path("doc.pdf"), QueryMatcher("kingfisher"), nullptr, kReadChunk,
                           {&extractor, true}),
              c[1])
        << c[0];
    EXPECT_EQ(std::to_string(extractor.Failures()), c[2]) << c[0];
  }
  EXPECT_NE(access("/tmp/findlark-standin-wrote", F_OK), 0);
}

// PDFs later in a folder are read on other threads; their hits still come in the walk's order,
// the order a search by name gives.
TEST(PdfSandbox, PdfsReadAheadKeepTheWalksOrder) {
  PdfExtractor extractor(FINDLARK_PDF_STANDIN, FINDLARK_PDF_SANDBOX, {});
  testing::TestTree tree;
  for (int i = 0; i < 12; ++i)
    tree.Write("doc" + std::to_string(i) + ".pdf", i % 4 == 0 ? "%PDF-slow\n" : "%PDF-plain\n");
  auto walk = [&](const char* query, PdfExtractor* pdf) {
    testing::Walk walk(query, pdf != nullptr);
    walk.options.pdf = pdf;
    walk.Run(tree.root());
    std::vector<std::string> hits;  // in the walk's order
    for (const ResultRecord& r : walk.hits) hits.push_back(r.path + " " + r.matchLine);
    return hits;
  };
  std::vector<std::string> expected = walk("doc", nullptr);
  ASSERT_EQ(expected.size(), 12u);
  for (std::string& hit : expected) {
    const bool slow =
        hit.ends_with("/doc0.pdf ") || hit.ends_with("/doc4.pdf ") || hit.ends_with("/doc8.pdf ");
    hit += slow ? "slow blocked Kingfisher" : "plain blocked Kingfisher";
  }
  EXPECT_EQ(walk("kingfisher", &extractor), expected);
}

}  // namespace
}  // namespace findlark
