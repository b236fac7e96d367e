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
}

void HitBatch::AddSubtree(Subtree* inside) {
  bytes_.push_back(kSubtreeTag);
  bytes_.append(reinterpret_cast<const char*>(&inside), sizeof inside);
  ++count_;
}

void HitBatch::Append(const HitBatch& other) {
  bytes_.append(other.bytes_);
  count_ += other.count_;
}

void HitBatch::Append(const HitRun& run) {
  ReserveUsual();
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
  while (front.count < n && reader.Next(hit, inside)) ++front.count;
  const size_t bytes = static_cast<size_t>(reader.at() - run.bytes.data());
  front.bytes = run.bytes.substr(0, bytes);
  run.bytes.remove_prefix(bytes);
  run.count -= front.count;
  return front;
}

}  // namespace findlark
