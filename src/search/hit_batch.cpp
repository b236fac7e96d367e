#include "search/hit_batch.h"

#include <cstdint>
#include <cstring>

namespace findlark {
namespace {

// A hit: its category, size and date, then its five texts, each after its length. A subtree:
// its address.
enum Tag : char { kHitTag, kSubtreeTag };

template <typename Bytes>
void PutText(Bytes& bytes, std::string_view text) {
  const uint32_t length = static_cast<uint32_t>(text.size());
  bytes.append(reinterpret_cast<const char*>(&length), sizeof length);
  bytes.append(text);
}

template <typename T>
const char* Get(const char* at, T& value) {
  std::memcpy(&value, at, sizeof value);
  return at + sizeof value;
}

const char* GetText(const char* at, std::string_view& text) {
  uint32_t length;
  at = Get(at, length);
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
  lastAt_ = bytes_.size();
  const int32_t category = hit.category;
  bytes_.push_back(kHitTag);
  bytes_.append(reinterpret_cast<const char*>(&category), sizeof category);
  bytes_.append(reinterpret_cast<const char*>(&hit.size), sizeof hit.size);
  bytes_.append(reinterpret_cast<const char*>(&hit.mtime), sizeof hit.mtime);
  PutText(bytes_, hit.path);
  PutText(bytes_, hit.sizeText);
  PutText(bytes_, hit.dateText);
  PutText(bytes_, hit.matchLine);
  PutText(bytes_, hit.extension);
  ++count_;
  ++tailHits_;
}

void HitBatch::AddSubtree(Subtree* inside) {
  marks_.push_back({bytes_.size(), tailHits_, lastAt_});
  tailHits_ = 0;
  bytes_.push_back(kSubtreeTag);
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
  if (*at_++ == kSubtreeTag) {
    at_ = Get(at_, inside);
    return true;
  }
  inside = nullptr;
  int32_t category;
  at_ = Get(at_, category);
  hit.category = category;
  at_ = Get(at_, hit.size);
  at_ = Get(at_, hit.mtime);
  at_ = GetText(at_, hit.path);
  at_ = GetText(at_, hit.sizeText);
  at_ = GetText(at_, hit.dateText);
  at_ = GetText(at_, hit.matchLine);
  at_ = GetText(at_, hit.extension);
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
