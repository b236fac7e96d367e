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
  return {
      {"docx", ZipBytes(Docx(WordParagraph("The quarterly budget for Larkspur") +
                             "<w:p><w:r><w:t>Lark</w:t></w:r><w:r><w:tab/><w:t>sp&amp;ur</w:t>"
                             "</w:r></w:p>"))},
      {"xlsx", ZipBytes(Xlsx("<si><t>Revenue</t></si><si><r><t>Ri</t></r><r><t>ch</t></r></si>",
                             "<row><c t=\"inlineStr\"><is><t>Inline</t></is></c>"
                             "<c><v>42</v></c></row>"))},
      {"pptx", ZipBytes(Pptx({{2, "<a:p><a:r><a:t>Slide two</a:t></a:r><a:br/></a:p>"},
                              {10, "<a:p><a:r><a:t>Slide ten</a:t></a:r></a:p>"}}))},
      {"odt", ZipBytes(Odf("text",
                           "<text:h>Title</text:h><text:p>Hello<text:s text:c=\"3\"/>"
                           "World<text:tab/>&#233;t&#xE9;</text:p>"))},
      {"ods", ZipBytes(Odf("spreadsheet",
                           "<table:table><table:table-row><table:table-cell>"
                           "<text:p>Cell</text:p></table:table-cell>"
                           "</table:table-row></table:table>"))},
      {"epub", ZipBytes(Epub({{"b.xhtml", "<h1>Two</h1><p>Chapter\n two</p>"},
                              {"a%20b.xhtml", "<p>One<br/>line</p><script>x</script>"}}))},
      {"zip", ZipBytes({{"notes.txt", "plain larkspur notes\n"}})},
  };
}

}  // namespace findlark::testing
