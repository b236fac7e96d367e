#include "office_fixtures.h"

#include <minizip/zip.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace findlark::testing {
namespace {

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("writing zip: " + what);
}

void Write(zipFile zip, const std::string& data) {
  if (!data.empty()) {
    Check(zipWriteInFileInZip(zip, data.data(), static_cast<unsigned>(data.size())) == ZIP_OK,
          "data");
  }
}

const char* kWordNs = "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
const char* kContentTypes =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>";

}  // namespace

void WriteZip(const std::string& path, const Zip& members) {
  zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  Check(zip != nullptr, path);
  for (const ZipMember& m : members) {
    const bool raw = m.badCrc || m.method >= 0;
    const int method = m.deflate && !raw ? Z_DEFLATED : 0;
    zip_fileinfo info{};
    Check(
        zipOpenNewFileInZip4_64(zip, m.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, method,
                                Z_BEST_SPEED, raw ? 1 : 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY,
                                nullptr, 0, 0, m.encrypted ? 1 : 0, 1) == ZIP_OK,
        m.name);
    Write(zip, m.prefix);
    for (size_t i = 0; i < m.repeat; ++i) Write(zip, m.body);
    Write(zip, m.suffix);
    if (raw) {
      const std::string all = m.prefix + m.body + m.suffix;
      uLong crc =
          crc32(0, reinterpret_cast<const Bytef*>(all.data()), static_cast<uInt>(all.size()));
      if (m.badCrc) crc ^= 0x5A5A5A5A;
      Check(zipCloseFileInZipRaw64(zip, all.size(), crc) == ZIP_OK, m.name);
    } else {
      Check(zipCloseFileInZip(zip) == ZIP_OK, m.name);
    }
  }
  Check(zipClose(zip, nullptr) == ZIP_OK, path);
}

std::string ZipBytes(const Zip& members) {
  char path[] = "/tmp/findlark-zip-XXXXXX";
  const int fd = mkstemp(path);
  Check(fd >= 0, "temporary file");
  close(fd);
  WriteZip(path, members);
  std::ifstream in(path, std::ios::binary);
  std::string bytes{std::istreambuf_iterator<char>(in), {}};
  std::remove(path);
  // The writer knows only stored and deflated: other methods are patched into both headers.
  for (const ZipMember& m : members) {
    if (m.method < 0) continue;
    for (const auto& [signature, nameAt] : {std::pair{"PK\3\4", 30}, std::pair{"PK\1\2", 46}}) {
      for (size_t at = 0; (at = bytes.find(signature, at)) != std::string::npos; ++at) {
        if (bytes.compare(at + nameAt, m.name.size(), m.name) != 0) continue;
        const size_t field = at + (nameAt == 30 ? 8 : 10);
        bytes[field] = static_cast<char>(m.method & 0xFF);
        bytes[field + 1] = static_cast<char>(m.method >> 8);
      }
    }
  }
  return bytes;
}

std::string WordParagraph(const std::string& text) {
  return "<w:p><w:r><w:t xml:space=\"preserve\">" + text + "</w:t></w:r></w:p>";
}

Zip Docx(const std::string& body) {
  return {{"[Content_Types].xml", kContentTypes},
          {"_rels/.rels", "<Relationships/>"},
          {"word/document.xml", std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                                            "<w:document xmlns:w=\"") +
                                    kWordNs + "\"><w:body>" + body + "</w:body></w:document>"}};
}

Zip Xlsx(const std::string& sharedStrings, const std::string& sheet) {
  const std::string ns = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
  return {{"[Content_Types].xml", kContentTypes},
          {"xl/workbook.xml", "<workbook xmlns=\"" + ns + "\"/>"},
          {"xl/sharedStrings.xml", "<sst xmlns=\"" + ns + "\">" + sharedStrings + "</sst>"},
          {"xl/worksheets/sheet1.xml",
           "<worksheet xmlns=\"" + ns + "\"><sheetData>" + sheet + "</sheetData></worksheet>"}};
}

Zip Pptx(const std::vector<std::pair<int, std::string>>& slides) {
  Zip zip{{"[Content_Types].xml", kContentTypes},
          {"ppt/presentation.xml", "<p:presentation xmlns:p=\"urn:p\"/>"}};
  for (const auto& [number, tree] : slides) {
    zip.push_back({"ppt/slides/slide" + std::to_string(number) + ".xml",
                   "<p:sld xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\" "
                   "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\">"
                   "<p:cSld><p:spTree>" +
                       tree + "</p:spTree></p:cSld></p:sld>"});
  }
  return zip;
}

Zip Odf(const std::string& type, const std::string& body) {
  ZipMember mimetype{"mimetype", "application/vnd.oasis.opendocument." + type};
  mimetype.deflate = false;
  return {mimetype,
          {"META-INF/manifest.xml", "<manifest/>"},
          {"content.xml",
           "<office:document-content "
           "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
           "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
           "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\">"
           "<office:body>" +
               body + "</office:body></office:document-content>"}};
}

Zip Epub(const std::vector<std::pair<std::string, std::string>>& chapters) {
  ZipMember mimetype{"mimetype", "application/epub+zip"};
  mimetype.deflate = false;
  Zip zip{mimetype,
          {"META-INF/container.xml",
           "<container xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\"><rootfiles>"
           "<rootfile full-path=\"OEBPS/content.opf\"/></rootfiles></container>"}};
  std::string manifest, spine;
  int id = 0;
  for (const auto& [name, body] : chapters) {
    const std::string item = "c" + std::to_string(++id);
    manifest += "<item id=\"" + item + "\" href=\"" + name + "\"/>";
    spine += "<itemref idref=\"" + item + "\"/>";
    std::string member = "OEBPS/" + name;  // hrefs are URLs: %20 is a space in the name
    for (size_t at; (at = member.find("%20")) != std::string::npos;) member.replace(at, 3, " ");
    zip.push_back({member,
                   "<?xml version=\"1.0\"?><html xmlns=\"http://www.w3.org/1999/xhtml\"><head>"
                   "<title>Head Title</title></head><body>" +
                       body + "</body></html>"});
  }
  zip.push_back({"OEBPS/content.opf", "<package xmlns=\"http://www.idpf.org/2007/opf\"><manifest>" +
                                          manifest + "</manifest><spine>" + spine +
                                          "</spine></package>"});
  return zip;
}

std::vector<std::pair<std::string, std::string>> SeedDocuments() {
  Zip docx = Docx(WordParagraph("Intro") + WordParagraph("The quarterly budget for Larkspur") +
                  "<w:p><w:r><w:t>Delph</w:t></w:r><w:r><w:rPr><w:b/></w:rPr><w:t>inium "
                  "blue</w:t></w:r></w:p>" +
                  WordParagraph("Fish &amp; Chips &#233;t&#xE9; &lt;b&gt;") +
                  WordParagraph("L'ÉTÉ À PARIS") +
                  "<w:p><w:pPr><w:tabs><w:tab w:val=\"left\"/></w:tabs></w:pPr>"
                  "<w:r><w:t>Name:</w:t><w:tab/><w:t>Value</w:t></w:r></w:p><w:tbl><w:tr><w:tc>" +
                  WordParagraph("Cell one") + "</w:tc><w:tc>" + WordParagraph("Cell two") +
                  "</w:tc></w:tr></w:tbl>");
  docx.push_back({"word/header1.xml", std::string("<w:hdr xmlns:w=\"") + kWordNs + "\">" +
                                          WordParagraph("Confidential draft") + "</w:hdr>"});
  // An older e-book: its DTD is named but never loaded.
  Zip older = Epub({{"c.xhtml", "<p>Non&nbsp;breaking</p>"}});
  older[2].body.insert(older[2].body.find("<html"),
                       "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" "
                       "\"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd\">");
  return {
      {"docx", ZipBytes(docx)},
      {"xlsx", ZipBytes(Xlsx("<si><t>Revenue Q3</t></si><si><r><t>Rich </t></r><r><t>text</t></r>"
                             "<rPh><t>reading aid</t></rPh></si>",
                             "<row><c t=\"inlineStr\"><is><t>Inline total</t></is></c>"
                             "<c><v>42</v></c></row>"))},
      {"pptx",
       ZipBytes(Pptx({{10,
                       "<p:sp><p:txBody><a:p><a:r><a:t>Slide ten</a:t></a:r></a:p></p:txBody>"
                       "</p:sp>"},
                      {2,
                       "<p:sp><p:txBody><a:p><a:r><a:t>Slide two</a:t></a:r><a:br/><a:r>"
                       "<a:t>goes on</a:t></a:r></a:p><a:p><a:r><a:t>Second box line</a:t>"
                       "</a:r></a:p></p:txBody></p:sp>"}}))},
      {"odt", ZipBytes(Odf("text",
                           "<office:text><text:h>Title Here</text:h><text:p>Hello<text:s "
                           "text:c=\"2\"/> World</text:p><text:p>Spaced\n     out</text:p>"
                           "<text:list><text:list-item><text:p>Item one</text:p></text:list-item>"
                           "</text:list></office:text>"))},
      {"ods", ZipBytes(Odf("spreadsheet",
                           "<office:spreadsheet><table:table><table:table-row><table:table-cell>"
                           "<text:p>Cell Text</text:p></table:table-cell></table:table-row>"
                           "</table:table></office:spreadsheet>"))},
      {"epub",
       ZipBytes(Epub({{"b.xhtml", "<h1>Two</h1><p>Chapter\n   two text</p>"},
                      {"a%20b.xhtml", "<p>Chapter one</p><script>chapter script</script>"}}))},
      {"epub-dtd", ZipBytes(older)},
      {"zip", ZipBytes({{"notes.txt", "plain larkspur notes\n"}})},
  };
}

}  // namespace findlark::testing
