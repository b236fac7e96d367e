#include "search/document_text.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "search/document_libraries.h"

namespace findlark {
namespace {

// Only called once MatchDocument found them loaded.
const DocumentLibraries& Lib() {
  return *LoadDocumentLibraries();
}

// The text searched in a document, all its members together: a zip bomb's text ends here, and
// so does the time one file can take. Checking a part after a match is not charged: minizip
// stops that at the member's declared size, and inflating costs at most about a thousand times
// the member's stored bytes.
constexpr uint64_t kInflateBudget = uint64_t{64} << 20;
constexpr size_t kMaxMembers = 10000;
constexpr size_t kMaxNameLength = 1024;
constexpr size_t kMaxSpine = 10000;
// Memory one XML parser may hold: a giant tag or attribute fails instead of growing.
constexpr size_t kXmlMemory = size_t{8} << 20;
constexpr size_t kInflateChunk = 16 * 1024;

bool EndsWith(std::string_view s, std::string_view end) {
  return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

bool StartsWith(std::string_view s, std::string_view start) {
  return s.substr(0, start.size()) == start;
}

// ---- zip access through the open file, with a small cache: the directory is read a few bytes
// at a time.

struct ZipIo {
  ZipIo(int f, uint64_t s) : fd(f), size(s) {}
  int fd;
  uint64_t size;
  uint64_t pos = 0;
  uint64_t cacheAt = 0;
  size_t cacheLen = 0;
  char cache[8192];
};

size_t PreadFull(int fd, char* out, size_t n, uint64_t at) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = pread(fd, out + done, n - done, static_cast<off_t>(at + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  return done;
}

voidpf ZipOpen(voidpf opaque, const void*, int) {
  return opaque;
}

uLong ZipRead(voidpf, voidpf stream, void* buf, uLong size) {
  auto& io = *static_cast<ZipIo*>(stream);
  char* out = static_cast<char*>(buf);
  size_t done = 0;
  while (done < size) {
    if (io.pos >= io.cacheAt && io.pos < io.cacheAt + io.cacheLen) {
      const size_t n = std::min<size_t>(size - done, io.cacheAt + io.cacheLen - io.pos);
      std::memcpy(out + done, io.cache + (io.pos - io.cacheAt), n);
      io.pos += n;
      done += n;
    } else if (size - done >= sizeof io.cache) {
      const size_t n = PreadFull(io.fd, out + done, size - done, io.pos);
      io.pos += n;
      done += n;
      break;
    } else {
      io.cacheLen = PreadFull(io.fd, io.cache, sizeof io.cache, io.pos);
      io.cacheAt = io.pos;
      if (io.cacheLen == 0) break;
    }
  }
  return static_cast<uLong>(done);
}

uLong ZipWrite(voidpf, voidpf, const void*, uLong) {
  return 0;
}

ZPOS64_T ZipTell(voidpf, voidpf stream) {
  return static_cast<ZipIo*>(stream)->pos;
}

long ZipSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto& io = *static_cast<ZipIo*>(stream);
  const uint64_t base = origin == ZLIB_FILEFUNC_SEEK_SET   ? 0
                        : origin == ZLIB_FILEFUNC_SEEK_CUR ? io.pos
                                                           : io.size;
  if (offset > io.size || base > io.size - offset) return -1;
  io.pos = base + offset;
  return 0;
}

int ZipClose(voidpf, voidpf) {
  return 0;
}

int ZipError(voidpf, voidpf) {
  return 0;
}

// ---- XML through expat, with a memory cap and no entity declarations at all (so neither
// billion laughs nor external entities); expat itself never loads anything.

thread_local size_t t_xmlBytes = 0;
constexpr size_t kHeader = 16;  // keeps the block's alignment

void* XmlMalloc(size_t n) {
  if (n > kXmlMemory - t_xmlBytes) return nullptr;
  auto* base = static_cast<char*>(std::malloc(n + kHeader));
  if (base == nullptr) return nullptr;
  std::memcpy(base, &n, sizeof n);
  t_xmlBytes += n;
  return base + kHeader;
}

void* XmlRealloc(void* p, size_t n) {
  if (p == nullptr) return XmlMalloc(n);
  char* base = static_cast<char*>(p) - kHeader;
  size_t old;
  std::memcpy(&old, base, sizeof old);
  if (n > old && n - old > kXmlMemory - t_xmlBytes) return nullptr;
  auto* grown = static_cast<char*>(std::realloc(base, n + kHeader));
  if (grown == nullptr) return nullptr;
  std::memcpy(grown, &n, sizeof n);
  t_xmlBytes = t_xmlBytes - old + n;
  return grown + kHeader;
}

void XmlFree(void* p) {
  if (p == nullptr) return;
  char* base = static_cast<char*>(p) - kHeader;
  size_t old;
  std::memcpy(&old, base, sizeof old);
  t_xmlBytes -= old;
  std::free(base);
}

const XML_Memory_Handling_Suite kXmlAlloc = {XmlMalloc, XmlRealloc, XmlFree};

// Element and attribute names without their prefix. Namespaces are not resolved: it costs much
// of the parse, and the local names alone tell the few elements that matter apart.
std::string_view LocalName(const XML_Char* name) {
  std::string_view s(name);
  const size_t sep = s.rfind(':');
  return sep == std::string_view::npos ? s : s.substr(sep + 1);
}

const XML_Char* Attribute(const XML_Char** atts, std::string_view local) {
  for (; atts[0] != nullptr; atts += 2) {
    if (LocalName(atts[0]) == local) return atts[1];
  }
  return nullptr;
}

class XmlHandler {
 public:
  virtual ~XmlHandler() = default;
  virtual void Start(std::string_view local, const XML_Char** atts) = 0;
  virtual void End(std::string_view local) = 0;
  virtual void Text(std::string_view) {}
};

class SafeXml {
 public:
  explicit SafeXml(XmlHandler& handler)
      : handler_(handler), parser_(Lib().XML_ParserCreate_MM(nullptr, &kXmlAlloc, nullptr)) {
    if (parser_ == nullptr) return;
    Lib().XML_SetUserData(parser_, this);
    Lib().XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
    Lib().XML_SetEntityDeclHandler(
        parser_, [](void* self, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                    const XML_Char*, const XML_Char*, const XML_Char*) {
          Lib().XML_StopParser(static_cast<SafeXml*>(self)->parser_, XML_FALSE);
        });
    Lib().XML_SetElementHandler(
        parser_,
        [](void* self, const XML_Char* name, const XML_Char** atts) {
          static_cast<SafeXml*>(self)->handler_.Start(LocalName(name), atts);
        },
        [](void* self, const XML_Char* name) {
          static_cast<SafeXml*>(self)->handler_.End(LocalName(name));
        });
    Lib().XML_SetCharacterDataHandler(parser_, [](void* self, const XML_Char* s, int len) {
      static_cast<SafeXml*>(self)->handler_.Text(std::string_view(s, static_cast<size_t>(len)));
    });
    // An entity of an external DTD that is never loaded (&nbsp; in older e-books): a space
    // keeps the words on both sides apart.
    Lib().XML_SetSkippedEntityHandler(parser_, [](void* self, const XML_Char*, int parameter) {
      if (parameter == 0) static_cast<SafeXml*>(self)->handler_.Text(" ");
    });
  }
  ~SafeXml() {
    if (parser_ != nullptr) Lib().XML_ParserFree(parser_);
  }
  SafeXml(const SafeXml&) = delete;
  SafeXml& operator=(const SafeXml&) = delete;

  // False once the XML is not well-formed, or was refused.
  bool Feed(const char* p, size_t n, bool last) {
    return parser_ != nullptr && Lib().XML_Parse(parser_, p, static_cast<int>(n),
                                                 last ? XML_TRUE : XML_FALSE) == XML_STATUS_OK;
  }
  // The parser's own input buffer, to inflate straight into; then ParseBuffer.
  void* Buffer(size_t n) {
    return parser_ != nullptr ? Lib().XML_GetBuffer(parser_, static_cast<int>(n)) : nullptr;
  }
  bool ParseBuffer(size_t n, bool last) {
    return Lib().XML_ParseBuffer(parser_, static_cast<int>(n), last ? XML_TRUE : XML_FALSE) ==
           XML_STATUS_OK;
  }

 private:
  XmlHandler& handler_;
  XML_Parser parser_;
};

// ---- the document's text, one paragraph a line

enum class Dialect { kWord, kSharedStrings, kSheet, kSlide, kOdf, kXhtml };

using Names = std::initializer_list<std::string_view>;

bool In(Names names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

struct Rules {
  Names lines;    // elements that begin and end a line
  Names text;     // elements whose character data is text
  Names skip;     // elements whose content is never text
  bool collapse;  // white space runs become one space, as in markup text
};

const Rules& RulesOf(Dialect d) {
  static const Rules word{{"p"}, {"t"}, {"tabs"}, false};
  static const Rules strings{{"si"}, {"t"}, {"rPh"}, false};
  static const Rules sheet{{"c"}, {"t"}, {"rPh"}, false};
  static const Rules slide{{"p"}, {"t"}, {}, false};
  static const Rules odf{{"p", "h"}, {"p", "h"}, {}, true};
  static const Rules xhtml{{"p", "div", "h1", "h2", "h3", "h4", "h5", "h6", "li", "td", "th", "dt",
                            "dd", "blockquote", "pre", "br", "tr", "caption", "figcaption"},
                           {"body"},
                           {"script", "style", "head"},
                           true};
  switch (d) {
    case Dialect::kWord:
      return word;
    case Dialect::kSharedStrings:
      return strings;
    case Dialect::kSheet:
      return sheet;
    case Dialect::kSlide:
      return slide;
    case Dialect::kOdf:
      return odf;
    case Dialect::kXhtml:
      return xhtml;
  }
  return word;
}

bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Turns one part's markup into lines of text, appended to `out`.
class TextHandler final : public XmlHandler {
 public:
  explicit TextHandler(std::string& out) : out_(out) {}

  void Reset(Dialect dialect) {
    dialect_ = dialect;
    rules_ = &RulesOf(dialect);
    textDepth_ = skipDepth_ = 0;
    Break();
  }

  void Break() {
    if (!atLineStart_) out_ += '\n';
    atLineStart_ = true;
    lastSpace_ = false;
  }

  void Start(std::string_view name, const XML_Char** atts) override {
    if (In(rules_->lines, name)) Break();
    if (In(rules_->skip, name)) ++skipDepth_;
    if (In(rules_->text, name)) ++textDepth_;
    if (skipDepth_ > 0) return;
    switch (dialect_) {
      case Dialect::kWord:
        if (name == "tab") Emit('\t');
        if (name == "br" || name == "cr") Emit(' ');
        break;
      case Dialect::kSlide:
        if (name == "br") Emit(' ');
        break;
      case Dialect::kOdf:
        if (name == "tab") Emit('\t');
        if (name == "line-break") Emit(' ');
        if (name == "s") {
          const XML_Char* c = Attribute(atts, "c");
          const long count = c ? std::strtol(c, nullptr, 10) : 1;
          for (long i = 0; i < std::clamp(count, 1L, 64L); ++i) Emit(' ');
        }
        break;
      default:
        break;
    }
  }

  void End(std::string_view name) override {
    if (In(rules_->text, name) && textDepth_ > 0) --textDepth_;
    if (In(rules_->skip, name) && skipDepth_ > 0) --skipDepth_;
    if (In(rules_->lines, name)) Break();
  }

  void Text(std::string_view s) override {
    if (textDepth_ == 0 || skipDepth_ > 0 || s.empty()) return;
    if (!rules_->collapse) {
      const size_t from = out_.size();
      out_.append(s);
      for (size_t i = from; i < out_.size(); ++i) {
        if (out_[i] == '\n' || out_[i] == '\r') out_[i] = ' ';  // a line ends only at a paragraph
      }
      atLineStart_ = lastSpace_ = false;
      return;
    }
    while (!s.empty()) {
      size_t run = 0;
      while (run < s.size() && !IsXmlSpace(s[run])) ++run;
      if (run > 0) {
        out_.append(s.substr(0, run));
        atLineStart_ = lastSpace_ = false;
        s.remove_prefix(run);
      }
      if (s.empty()) break;
      if (!lastSpace_ && !atLineStart_) {
        out_ += ' ';
        lastSpace_ = true;
      }
      s.remove_prefix(1);
    }
  }

 private:
  void Emit(char c) {
    out_ += c;
    atLineStart_ = false;
    lastSpace_ = false;
  }

  std::string& out_;
  Dialect dialect_ = Dialect::kWord;
  const Rules* rules_ = &RulesOf(Dialect::kWord);
  int textDepth_ = 0;
  int skipDepth_ = 0;
  bool atLineStart_ = true;
  bool lastSpace_ = false;
};

// ---- members

struct Part {
  unz64_file_pos pos;
  Dialect dialect;
};

bool Charge(uint64_t& used, int bytes) {
  used += static_cast<uint64_t>(bytes);
  return used <= kInflateBudget;
}

// Opens the member at `pos` for reading, when it is stored or deflated and not encrypted.
bool OpenMember(unzFile zip, const unz64_file_pos& pos) {
  unz64_file_pos at = pos;
  unz_file_info64 info;
  if (Lib().unzGoToFilePos64(zip, &at) != UNZ_OK ||
      Lib().unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
    return false;
  }
  if ((info.flag & 1) != 0) return false;  // encrypted
  if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) return false;
  return Lib().unzOpenCurrentFile(zip) == UNZ_OK;
}

// A small member read whole; false when it is damaged or larger than `cap`.
bool ReadSmallMember(unzFile zip, const unz64_file_pos& pos, size_t cap, uint64_t& budget,
                     std::string& out) {
  out.clear();
  if (!OpenMember(zip, pos)) return false;
  char buf[4096];
  int r;
  while ((r = Lib().unzReadCurrentFile(zip, buf, sizeof buf)) > 0) {
    if (!Charge(budget, r) || out.size() + static_cast<size_t>(r) > cap) break;
    out.append(buf, static_cast<size_t>(r));
  }
  const bool whole = r == 0;
  return Lib().unzCloseCurrentFile(zip) == UNZ_OK && whole;
}

// The document's text parts one after the other, as a byte source for the line matcher.
class DocumentText final : public ByteSource {
 public:
  DocumentText(unzFile zip, const std::vector<Part>& parts, size_t chunk, uint64_t& budget,
               const std::atomic<bool>* stop)
      : zip_(zip),
        parts_(parts),
        chunk_(std::clamp<size_t>(chunk, 1, kInflateChunk)),
        budget_(budget),
        stop_(stop),
        handler_(pending_) {}
  ~DocumentText() override {
    if (open_) Lib().unzCloseCurrentFile(zip_);
  }

  ssize_t Read(char* out, size_t cap) override {
    while (pendingAt_ == pending_.size()) {
      pending_.clear();
      pendingAt_ = 0;
      if (Stopped() || !Pump()) return failed_ ? -1 : 0;
    }
    const size_t n = std::min(cap, pending_.size() - pendingAt_);
    std::memcpy(out, pending_.data() + pendingAt_, n);
    pendingAt_ += n;
    return static_cast<ssize_t>(n);
  }

  // Inflates the rest of the part in hand, so that a match is kept only when the part passes its
  // CRC. The rest is not parsed: that would cost as much as reading the whole document.
  bool FinishPart() {
    if (!open_ || failed_) return !failed_;
    open_ = false;
    xml_.reset();
    char buf[kInflateChunk];
    int r;
    while ((r = Lib().unzReadCurrentFile(zip_, buf, sizeof buf)) > 0) {
      if (Stopped()) return Fail();
    }
    return Lib().unzCloseCurrentFile(zip_) == UNZ_OK && r == 0;
  }

 private:
  bool Stopped() {
    if (stop_ == nullptr || !stop_->load(std::memory_order_relaxed)) return false;
    failed_ = true;
    return true;
  }

  bool Fail() {
    failed_ = true;
    return false;
  }

  // One step: opens the next part, or inflates one chunk of the open one and parses it. False
  // at the end of the text or on an error.
  bool Pump() {
    // Past the budget the text ends; a match already read is still checked by FinishPart.
    if (failed_ || budget_ >= kInflateBudget) return false;
    if (!open_) {
      if (next_ == parts_.size()) return false;
      const Part& part = parts_[next_++];
      if (!OpenMember(zip_, part.pos)) return Fail();
      open_ = true;
      handler_.Reset(part.dialect);
      xml_.emplace(handler_);
      return true;
    }
    void* buf = xml_->Buffer(chunk_);
    if (buf == nullptr) return Fail();
    const int r = Lib().unzReadCurrentFile(zip_, buf, static_cast<unsigned>(chunk_));
    if (r < 0) return Fail();
    budget_ += static_cast<uint64_t>(r);
    if (r > 0) return xml_->ParseBuffer(static_cast<size_t>(r), false) || Fail();
    open_ = false;
    const bool ended = xml_->ParseBuffer(0, true);
    xml_.reset();
    if (Lib().unzCloseCurrentFile(zip_) != UNZ_OK || !ended) return Fail();
    handler_.Break();  // a line never runs from one part into the next
    return true;
  }

  unzFile zip_;
  const std::vector<Part>& parts_;
  size_t chunk_;
  uint64_t& budget_;
  const std::atomic<bool>* stop_;
  std::string pending_;
  size_t pendingAt_ = 0;
  TextHandler handler_;
  std::optional<SafeXml> xml_;
  size_t next_ = 0;
  bool open_ = false;
  bool failed_ = false;
};

// ---- recognising the format

// Members that can hold a document's text or describe it, by name; pictures and the like are
// not kept.
struct Listing {
  std::unordered_map<std::string, unz64_file_pos> members;
  bool marked = false;  // names a member only office documents have
  bool hostile = false;
};

bool IsMarker(std::string_view name) {
  return name == "mimetype" || name == "[Content_Types].xml";
}

bool Escapes(std::string_view name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\') return true;
  size_t from = 0;
  while (from <= name.size()) {
    const size_t end = std::min(name.find_first_of("/\\", from), name.size());
    if (name.substr(from, end - from) == "..") return true;
    from = end + 1;
  }
  return false;
}

bool Kept(std::string_view name) {
  std::string lower(name.size() > 8 ? name.substr(name.size() - 8) : name);
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  for (std::string_view end : {".xml", ".xhtml", ".html", ".htm", ".opf"}) {
    if (EndsWith(lower, end)) return true;
  }
  return name == "mimetype";
}

void ListMembers(unzFile zip, Listing& out) {
  size_t count = 0;
  int rc = Lib().unzGoToFirstFile(zip);
  for (; rc == UNZ_OK; rc = Lib().unzGoToNextFile(zip)) {
    unz_file_info64 info;
    char name[kMaxNameLength + 1];
    if (++count > kMaxMembers ||
        Lib().unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) !=
            UNZ_OK ||
        info.size_filename > kMaxNameLength) {
      out.hostile = true;
      return;
    }
    const std::string_view n(name, info.size_filename);
    if (Escapes(n)) out.hostile = true;
    out.marked = out.marked || IsMarker(n);
    unz64_file_pos pos;
    if (Kept(n) && Lib().unzGetFilePos64(zip, &pos) == UNZ_OK) out.members.emplace(n, pos);
  }
  if (rc != UNZ_END_OF_LIST_OF_FILE) out.hostile = true;
}

// Whether the first member named in a zip's first local header belongs to an office
// document: a damaged document is then still taken for one.
bool FirstMemberMarksDocument(int fd) {
  char head[30 + 32];
  const size_t n = PreadFull(fd, head, sizeof head, 0);
  if (n < 30) return false;
  const size_t len = static_cast<unsigned char>(head[26]) | static_cast<unsigned char>(head[27])
                                                                << 8;
  const std::string_view name(head + 30, std::min(len, n - 30));
  if (name.size() != len)
    return StartsWith(name, "word/") || StartsWith(name, "xl/") || StartsWith(name, "ppt/");
  return IsMarker(name) || StartsWith(name, "word/") || StartsWith(name, "xl/") ||
         StartsWith(name, "ppt/") || StartsWith(name, "docProps/") || StartsWith(name, "_rels/");
}

// Members `prefix` N `.xml` in the order of N: slides, sheets, headers.
void AddNumbered(const Listing& listing, std::string_view prefix, Dialect dialect,
                 std::vector<Part>& parts) {
  std::vector<std::pair<unsigned long, const unz64_file_pos*>> found;
  for (const auto& [name, pos] : listing.members) {
    if (!StartsWith(name, prefix) || !EndsWith(name, ".xml")) continue;
    const std::string_view digits =
        std::string_view(name).substr(prefix.size(), name.size() - prefix.size() - 4);
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    found.emplace_back(std::stoul(std::string(digits)), &pos);
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& f : found) parts.push_back({*f.second, dialect});
}

void AddIfPresent(const Listing& listing, const std::string& name, Dialect dialect,
                  std::vector<Part>& parts) {
  if (auto it = listing.members.find(name); it != listing.members.end()) {
    parts.push_back({it->second, dialect});
  }
}

// Parses a small whole XML text with `handler`.
bool ParseWhole(const std::string& xml, XmlHandler& handler) {
  SafeXml parser(handler);
  return parser.Feed(xml.data(), xml.size(), true);
}

struct ContainerHandler final : XmlHandler {
  void Start(std::string_view name, const XML_Char** atts) override {
    const XML_Char* path = Attribute(atts, "full-path");
    if (name == "rootfile" && path != nullptr && root.empty()) root = path;
  }
  void End(std::string_view) override {}
  std::string root;
};

struct PackageHandler final : XmlHandler {
  void Start(std::string_view name, const XML_Char** atts) override {
    const XML_Char* id = Attribute(atts, "id");
    const XML_Char* href = Attribute(atts, "href");
    const XML_Char* idref = Attribute(atts, "idref");
    if (name == "item" && id != nullptr && href != nullptr && manifest.size() < kMaxSpine) {
      manifest.emplace(id, href);
    } else if (name == "itemref" && idref != nullptr && spine.size() < kMaxSpine) {
      spine.emplace_back(idref);
    }
  }
  void End(std::string_view) override {}
  std::unordered_map<std::string, std::string> manifest;
  std::vector<std::string> spine;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A spine item's member name: its href, without fragment, %-decoded, relative to the package
// file's folder; empty when it leaves the archive.
std::string ResolveHref(std::string_view base, std::string_view href) {
  href = href.substr(0, href.find('#'));
  std::string decoded;
  for (size_t i = 0; i < href.size(); ++i) {
    if (href[i] == '%' && i + 2 < href.size() && HexValue(href[i + 1]) >= 0 &&
        HexValue(href[i + 2]) >= 0) {
      decoded += static_cast<char>(HexValue(href[i + 1]) * 16 + HexValue(href[i + 2]));
      i += 2;
    } else {
      decoded += href[i];
    }
  }
  std::vector<std::string> segments;
  const std::string joined = std::string(base) + decoded;
  size_t from = 0;
  while (from <= joined.size()) {
    const size_t end = std::min(joined.find('/', from), joined.size());
    const std::string segment = joined.substr(from, end - from);
    from = end + 1;
    if (segment.empty() || segment == ".") continue;
    if (segment != "..") {
      segments.push_back(segment);
    } else if (segments.empty()) {
      return {};
    } else {
      segments.pop_back();
    }
  }
  std::string name;
  for (const auto& s : segments) name += (name.empty() ? "" : "/") + s;
  return name;
}

enum class Kind { kNotDocument, kDocument, kBroken };

Kind EpubParts(unzFile zip, const Listing& listing, uint64_t& budget, std::vector<Part>& parts) {
  const auto container = listing.members.find("META-INF/container.xml");
  if (container == listing.members.end()) return Kind::kBroken;
  std::string xml;
  ContainerHandler root;
  if (!ReadSmallMember(zip, container->second, 1 << 20, budget, xml) || !ParseWhole(xml, root)) {
    return Kind::kBroken;
  }
  const auto package = listing.members.find(root.root);
  PackageHandler opf;
  if (package == listing.members.end() ||
      !ReadSmallMember(zip, package->second, 4 << 20, budget, xml) || !ParseWhole(xml, opf)) {
    return Kind::kBroken;
  }
  const std::string_view base =
      std::string_view(root.root).substr(0, root.root.rfind('/') + 1);  // npos + 1 == 0
  for (const std::string& idref : opf.spine) {
    const auto item = opf.manifest.find(idref);
    if (item != opf.manifest.end()) {
      AddIfPresent(listing, ResolveHref(base, item->second), Dialect::kXhtml, parts);
    }
  }
  return Kind::kDocument;
}

Kind FindParts(unzFile zip, const Listing& listing, uint64_t& budget, std::vector<Part>& parts) {
  const auto& m = listing.members;
  if (const auto it = m.find("mimetype"); it != m.end()) {
    std::string type;
    if (!ReadSmallMember(zip, it->second, 256, budget, type)) return Kind::kBroken;
    while (!type.empty() && (type.back() == '\n' || type.back() == '\r' || type.back() == ' ')) {
      type.pop_back();
    }
    if (type == "application/epub+zip") return EpubParts(zip, listing, budget, parts);
    if (!StartsWith(type, "application/vnd.oasis.opendocument.")) return Kind::kNotDocument;
    AddIfPresent(listing, "content.xml", Dialect::kOdf, parts);
    return Kind::kDocument;
  }
  if (!m.contains("[Content_Types].xml")) return Kind::kNotDocument;
  if (m.contains("word/document.xml")) {
    AddIfPresent(listing, "word/document.xml", Dialect::kWord, parts);
    AddNumbered(listing, "word/header", Dialect::kWord, parts);
    AddNumbered(listing, "word/footer", Dialect::kWord, parts);
    AddIfPresent(listing, "word/footnotes.xml", Dialect::kWord, parts);
    AddIfPresent(listing, "word/endnotes.xml", Dialect::kWord, parts);
  } else if (m.contains("xl/workbook.xml")) {
    AddIfPresent(listing, "xl/sharedStrings.xml", Dialect::kSharedStrings, parts);
    AddNumbered(listing, "xl/worksheets/sheet", Dialect::kSheet, parts);
  } else if (m.contains("ppt/presentation.xml")) {
    AddNumbered(listing, "ppt/slides/slide", Dialect::kSlide, parts);
  } else {
    return Kind::kNotDocument;
  }
  return Kind::kDocument;
}

}  // namespace

bool MatchDocument(int fd, off_t size, const QueryMatcher& matcher, const std::atomic<bool>* stop,
                   LineBuffer& lines, std::string& answer, size_t chunk) {
  answer.clear();
  if (LoadDocumentLibraries() == nullptr) return FirstMemberMarksDocument(fd);
  ZipIo io(fd, static_cast<uint64_t>(std::max<off_t>(size, 0)));
  zlib_filefunc64_def funcs{ZipOpen, ZipRead, ZipWrite, ZipTell, ZipSeek, ZipClose, ZipError, &io};
  const unzFile zip = Lib().unzOpen2_64("", &funcs);
  if (zip == nullptr) return FirstMemberMarksDocument(fd);
  struct Closer {
    unzFile zip;
    ~Closer() { Lib().unzClose(zip); }
  } closer{zip};

  Listing listing;
  ListMembers(zip, listing);
  if (listing.hostile) return listing.marked || FirstMemberMarksDocument(fd);
  uint64_t budget = 0;
  std::vector<Part> parts;
  switch (FindParts(zip, listing, budget, parts)) {
    case Kind::kNotDocument:
      return false;
    case Kind::kBroken:
      return true;
    case Kind::kDocument:
      break;
  }
  DocumentText text(zip, parts, chunk, budget, stop);
  answer = lines.FirstMatch(text, matcher, stop, chunk);
  if (!answer.empty() && !text.FinishPart()) answer.clear();
  return true;
}

}  // namespace findlark
