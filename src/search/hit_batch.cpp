#include "search/hit_batch.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace findlark {
namespace {

// An entry starts with a tag byte. A subtree: the tag, then its address. A hit: the tag, which
// says which fields differ from an empty record's, its category, then its path and those
// fields, texts after their lengths. Lengths take a byte below 128: a hit found by its name is
// mostly its path, and every byte saved is memory a walker far ahead does not have to touch.
enum Tag : unsigned char {
  kSubtreeTag = 1,
  kHasSize = 1 << 1,
  kHasTime = 1 << 2,
  kHasSizeText = 1 << 3,
  kHasDateText = 1 << 4,
  kHasMatchLine = 1 << 5,
  kHasExtension = 1 << 6,
  kWideCategory = 1 << 7,  // four bytes rather than one
};

// The most an entry takes beyond its texts: tag, category, size, date, and five lengths.
constexpr size_t kMaxHitHeader = 1 + 4 + 8 + 8 + 5 * 5;

// The texts packed only when not empty, in their order, each with the flag that says so.
constexpr std::pair<Tag, std::string_view HitView::*> kOptionalTexts[] = {
    {kHasSizeText, &HitView::sizeText},
    {kHasDateText, &HitView::dateText},
    {kHasMatchLine, &HitView::matchLine},
    {kHasExtension, &HitView::extension},
};

template <typename T>
char* Put(char* at, const T& value) {
  std::memcpy(at, &value, sizeof value);
  return at + sizeof value;
}

char* PutText(char* at, std::string_view text) {
  size_t length = text.size();
  for (; length >= 0x80; length >>= 7) *at++ = static_cast<char>(length | 0x80);
  *at++ = static_cast<char>(length);
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

template <typename T>
const char* Get(const char* at, T& value) {
  std::memcpy(&value, at, sizeof value);
  return at + sizeof value;
}

const char* GetText(const char* at, std::string_view& text) {
  size_t length = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*at++);
    length |= static_cast<size_t>(byte & 0x7f) << shift;
    if (byte < 0x80) break;
  }
  text = {at, length};
  return at + length;
}

}  // namespace

// A field added to the record must be packed and read back below too.
static_assert(sizeof(ResultRecord) == 5 * sizeof(std::string) + 24);

// Room for a usual batch at once, rather than growing through every smaller size (8 KiB with
// the terminating zero).
void HitBatch::ReserveUsual() {
  if (bytes_.capacity() < 8191) bytes_.reserve(8191);
}

void HitBatch::AddHit(const HitView& hit) {
  ReserveUsual();
  const int32_t category = hit.category;
  const bool wide = category < 0 || category > 0x7f;
  unsigned char tag = wide ? kWideCategory : 0;
  if (hit.size != -1) tag |= kHasSize;
  if (hit.mtime != 0) tag |= kHasTime;
  size_t texts = hit.path.size();
  for (const auto& [flag, text] : kOptionalTexts) {
    if (!(hit.*text).empty()) tag |= flag;
    texts += (hit.*text).size();
  }
  lastAt_ = bytes_.size();
  bytes_.resize(lastAt_ + kMaxHitHeader + texts);
  char* at = bytes_.data() + lastAt_;
  *at++ = static_cast<char>(tag);
  at = wide ? Put(at, category) : Put(at, static_cast<char>(category));
  at = PutText(at, hit.path);
  if (tag & kHasSize) at = Put(at, hit.size);
  if (tag & kHasTime) at = Put(at, hit.mtime);
  for (const auto& [flag, text] : kOptionalTexts) {
    if (tag & flag) at = PutText(at, hit.*text);
  }
  bytes_.resize(static_cast<size_t>(at - bytes_.data()));
  ++count_;
  ++tailHits_;
}

void HitBatch::AddSubtree(Subtree* inside) {
  marks_.push_back({bytes_.size(), tailHits_, lastAt_});
  tailHits_ = 0;
  bytes_.push_back(static_cast<char>(kSubtreeTag));
  bytes_.append(reinterpret_cast<const char*>(&inside), sizeof inside);
  ++count_;
}

Subtree* HitBatch::SubtreeAt(size_t at) const {
  Subtree* inside;
  Get(bytes_.data() + at + 1, inside);
  return inside;
}

void HitBatch::Append(const HitBatch& other) {
  const size_t base = bytes_.size();
  for (const Mark& mark : other.marks_) {
    if (mark.hits > 0) lastAt_ = base + mark.lastAt;
    marks_.push_back({base + mark.at, tailHits_ + mark.hits, lastAt_});
    tailHits_ = 0;
  }
  if (other.tailHits_ > 0) lastAt_ = base + other.lastAt_;
  tailHits_ += other.tailHits_;
  bytes_.append(other.bytes_);
  count_ += other.count_;
}

void HitBatch::Append(const HitRun& run) {
  ReserveUsual();
  if (run.count > 0) lastAt_ = bytes_.size() + run.lastAt;
  tailHits_ += run.count;
  bytes_.append(run.bytes);
  count_ += run.count;
}

bool HitBatch::Reader::Next(HitView& hit, Subtree*& inside) {
  if (at_ >= end_) return false;
  const auto tag = static_cast<unsigned char>(*at_++);
  if (tag == kSubtreeTag) {
    at_ = Get(at_, inside);
    return true;
  }
  inside = nullptr;
  if (tag & kWideCategory) {
    int32_t category;
    at_ = Get(at_, category);
    hit.category = category;
  } else {
    hit.category = static_cast<unsigned char>(*at_++);
  }
  at_ = GetText(at_, hit.path);
  hit.size = -1;
  hit.mtime = 0;
  if (tag & kHasSize) at_ = Get(at_, hit.size);
  if (tag & kHasTime) at_ = Get(at_, hit.mtime);
  for (const auto& [flag, text] : kOptionalTexts) {
    hit.*text = {};
    if (tag & flag) at_ = GetText(at_, hit.*text);
  }
  return true;
}

bool HitBatch::Reader::Next(ResultRecord& hit, Subtree*& inside) {
  HitView view;
  if (!Next(view, inside)) return false;
  if (inside != nullptr) return true;
  hit.path.assign(view.path);
  hit.sizeText.assign(view.sizeText);
  hit.dateText.assign(view.dateText);
  hit.matchLine.assign(view.matchLine);
  hit.extension.assign(view.extension);
  hit.category = view.category;
  hit.size = view.size;
  hit.mtime = view.mtime;
  return true;
}

HitRun CutRun(HitRun& run, size_t n) {
  if (run.count <= n) return std::exchange(run, HitRun{});  // whole: nothing to read through
  HitBatch::Reader reader(run);
  HitView hit;
  Subtree* inside = nullptr;
  HitRun front;
  for (const char* at = reader.at(); front.count < n && reader.Next(hit, inside);
       at = reader.at()) {
    front.lastAt = static_cast<size_t>(at - run.bytes.data());
    ++front.count;
  }
  const size_t bytes = static_cast<size_t>(reader.at() - run.bytes.data());
  front.bytes = run.bytes.substr(0, bytes);
  run.bytes.remove_prefix(bytes);
  run.count -= front.count;
  run.lastAt = run.count > 0 ? run.lastAt - bytes : 0;
  return front;
}

std::string_view LastPath(const HitRun& run) {
  if (run.count == 0) return {};
  HitBatch::Reader reader(HitRun{run.bytes.substr(run.lastAt), 1, 0});
  HitView hit;
  Subtree* inside = nullptr;
  return reader.Next(hit, inside) && inside == nullptr ? hit.path : std::string_view();
}

}  // namespace findlark
