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
#include "test_walk.h"

namespace findlark {
namespace {

enum class Streams { kPlain, kDeflate, kPacked };  // kPacked: given deflated already

// A small PDF: one page per content stream, Helvetica.
std::string MakePdf(const std::vector<std::string>& pages, Streams streams) {
  const bool deflate = streams == Streams::kDeflate;
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", "",
                                      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  std::string kids;
  for (size_t i = 0; i < pages.size(); ++i) {
    const size_t page = objects.size() + 1;
    kids += std::to_string(page) + " 0 R ";
    objects.push_back(
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font "
        "<< /F1 3 0 R >> >> /Contents " +
        std::to_string(page + 1) + " 0 R >>");
    std::string data = pages[i];
    std::string filter;
    if (deflate) {
      uLongf len = compressBound(data.size());
      std::string packed(len, '\0');
      compress(reinterpret_cast<Bytef*>(packed.data()), &len,
               reinterpret_cast<const Bytef*>(data.data()), data.size());
      packed.resize(len);
      data = packed;
    }
    if (streams != Streams::kPlain) filter = " /Filter /FlateDecode";
    objects.push_back("<< /Length " + std::to_string(data.size()) + filter + " >>\nstream\n" +
                      data + "\nendstream");
  }
  objects[1] =
      "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>";
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
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return out;
}

// `text` and then a GiB of spaces as a zlib stream of about a MiB, made in a moment: after a
// full flush, deflate gives every MiB of spaces the same bytes, so one block is repeated.
std::string DeflateBomb(const std::string& text) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  auto run = [&z](const std::string& in, int flush) {
    std::string out(compressBound(in.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, flush);
    out.resize(out.size() - z.avail_out);
    return out;
  };
  const std::string spaces(1 << 20, ' ');
  std::string out = "\x78\xDA" + run(text, Z_FULL_FLUSH);
  const std::string block = run(spaces, Z_FULL_FLUSH);
  uLong sum = adler32(1, reinterpret_cast<const Bytef*>(text.data()), text.size());
  const uLong blockSum = adler32(1, reinterpret_cast<const Bytef*>(spaces.data()), spaces.size());
  for (int i = 0; i < 1024; ++i) {
    out += block;
    sum = adler32_combine(sum, blockSum, spaces.size());
  }
  out += run("", Z_FINISH);
  deflateEnd(&z);
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((sum >> shift) & 0xFF);
  return out;
}

// `pdf` encrypted (AES-256) by qpdf, needing `password` to be read ("": none).
std::string Encrypted(const testing::TestTree& tree, const std::string& pdf,
                      const std::string& password) {
  tree.Write("plain.pdf", pdf);
  const std::string command = "qpdf --encrypt '" + password + "' owner 256 -- '" +
                              tree.Path("plain.pdf") + "' '" + tree.Path("locked.pdf") + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return tree.Read("locked.pdf");
}

std::string Text(const std::string& line) {
  return "BT /F1 12 Tf 72 700 Td (" + line + ") Tj ET";
}

class PdfText : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!extractor.Available()) GTEST_SKIP() << "pdftotext or findlark-pdf-sandbox is missing";
  }
  std::string Match(const std::string& bytes, const std::string& query,
                    PdfExtractor* with = nullptr) {
    tree.Write("doc.pdf", bytes);
    return MatchContent(tree.Path("doc.pdf"), QueryMatcher(query), nullptr, kReadChunk,
                        {with != nullptr ? with : &extractor, true});
  }
  PdfExtractor extractor{"/usr/bin/pdftotext", FINDLARK_PDF_SANDBOX, {}};
  testing::TestTree tree;
};

TEST_F(PdfText, FindsTheLineHoldingTheText) {
  const std::vector<std::string> three = {Text("Cover"), Text("Contents"),
                                          Text("Invoice for Kingfisher Ltd")};
  const std::string split = "BT /F1 12 Tf 72 700 Td (Kingfisher) Tj 0 -40 Td (Ltd owes) Tj ET";
  const std::string whole = MakePdf(three, Streams::kPlain);
  const struct {
    const char* what;
    std::string bytes, query, line;
  } cases[] = {
      {"page three", whole, "kingfisher ltd", "Invoice for Kingfisher Ltd"},
      {"deflated streams", MakePdf(three, Streams::kDeflate), "kingfisher ltd",
       "Invoice for Kingfisher Ltd"},
      {"split over lines", MakePdf({split}, Streams::kDeflate), "kingfisher ltd", ""},
      {"split over lines", MakePdf({split}, Streams::kDeflate), "ltd", "Ltd owes"},
      {"no text layer", MakePdf({"0 0 1 rg 72 72 200 200 re f"}, Streams::kPlain), "kingfisher",
       ""},
      {"raw bytes are not text", whole, "helvetica", ""},
      {"cut short", whole.substr(0, whole.find("3 0 obj")), "cover", ""},
      {"not a PDF", "Kingfisher Ltd\n", "kingfisher", ""},
      {"encrypted, no password needed", Encrypted(tree, whole, ""), "kingfisher ltd",
       "Invoice for Kingfisher Ltd"},
      {"encrypted with a password", Encrypted(tree, whole, "secret"), "kingfisher", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Match(c.bytes, c.query), c.line) << c.what;
}

TEST_F(PdfText, OnlyWhenAskedAndOnlyInAContentSearch) {
  tree.Write("a/invoice.pdf", MakePdf({Text("Kingfisher Ltd")}, Streams::kDeflate));
  tree.Write("a/notes", MakePdf({Text("Kingfisher notes")}, Streams::kPlain));  // told by content
  tree.Write("a/z.txt", "kingfisher text\n");
  for (bool pdf : {false, true}) {
    testing::Walk walk("kingfisher", true);
    walk.options.pdf = pdf ? &extractor : nullptr;
    walk.Run(tree.root());
    std::vector<std::string> lines;
    for (const auto& [path, r] : walk.byPath) lines.push_back(path + ": " + r.matchLine);
    // Without the option, the uncompressed PDF's raw bytes hold no "kingfisher" on a line
    // of their own: its stream line reads "BT ... (Kingfisher notes) Tj ET".
    if (!pdf) {
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_TRUE(lines[0].starts_with("a/notes: BT /F1 12 Tf")) << lines[0];
      EXPECT_EQ(lines[1], "a/z.txt: kingfisher text");
    } else {
      EXPECT_EQ(lines, (std::vector<std::string>{"a/invoice.pdf: Kingfisher Ltd",
                                                 "a/notes: Kingfisher notes",
                                                 "a/z.txt: kingfisher text"}));
    }
  }
  EXPECT_EQ(extractor.Failures(), 0u);
}

// Hostile documents end in time, and the next one is read all the same.
TEST_F(PdfText, HostileDocumentsAreCutOff) {
  PdfExtractor::Limits limits;
  limits.seconds = 2;
  PdfExtractor quick("/usr/bin/pdftotext", FINDLARK_PDF_SANDBOX, limits);
  std::string loop = MakePdf({Text("Kingfisher in a loop")}, Streams::kPlain);
  loop.replace(loop.find("/Kids [4 0 R ]"), 14, "/Kids [2 0 R ]");  // the page tree holds itself
  std::vector<std::string> many(100000, Text("page"));
  many[0] = Text("Kingfisher first");
  const struct {
    const char* what;
    std::string bytes, line;
    size_t failures;  // counted so far
  } cases[] = {
      // A gigabyte of spaces after the text in one stream: minutes of work, cut off.
      {"decompression bomb", MakePdf({DeflateBomb(Text("Kingfisher"))}, Streams::kPacked), "", 1},
      {"page tree loop", loop, "", 1},
      {"100,000 pages", MakePdf(many, Streams::kPlain), "Kingfisher first", 1},
      {"after them", MakePdf({Text("Kingfisher Ltd")}, Streams::kDeflate), "Kingfisher Ltd", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Match(c.bytes, "kingfisher", &quick), c.line) << c.what;

    EXPECT_EQ(quick.Failures(), c.failures) << c.what;
  }
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
