#include "results/result_store.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/background_thread.h"

namespace findlark {

namespace {

// Blocks start small so a short run costs little, and grow to a size where the unused tail of
// each block is negligible.
constexpr size_t kFirstBlockSize = 64 * 1024;
constexpr size_t kMaxBlockSize = 1024 * 1024;

// Address space taken at a time: some thirty million hits. Untouched, it costs no memory.
constexpr size_t kRegionSize = size_t{4} << 30;
// Freed in slices, so a thread that waits to map memory meanwhile is not held for the whole.
constexpr size_t kReleaseSlice = size_t{64} << 20;

// How far ahead of the appends a helper fills in pages, and how much at a time: an eighth of
// what is used, up to kPrefaultAhead, so that a small search is not charged memory it never
// uses, and nothing (nor a helper) below kPrefaultFrom.
constexpr size_t kPrefaultFrom = size_t{4} << 20;
constexpr size_t kPrefaultAhead = size_t{8} << 20;
constexpr size_t kPrefaultStep = size_t{2} << 20;

constexpr size_t kMaxShortText = std::numeric_limits<uint16_t>::max();
constexpr size_t kMaxLongText = std::numeric_limits<uint32_t>::max();

// Short fields cannot realistically reach these bounds (a file name is at most 255 bytes); the
// cut only keeps a hostile record from wrapping a length field.
std::string_view Bounded(std::string_view text, size_t max) {
  return text.size() > max ? text.substr(0, max) : text;
}

}  // namespace

std::string_view RecordView::Name() const {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view RecordView::Title() const {
  return TitleOf(Name());
}

// Fills in the pages just ahead of the appends on a helper thread: the kernel zeroes each new
// page as it is first written, and on the appending thread that took a third of its time.
struct ResultStore::Prefault {
  std::mutex mutex;
  std::condition_variable wake;
  char* region = nullptr;
  char* from = nullptr;  // [from, to) of `region` is still to be filled in
  char* to = nullptr;
  bool quit = false;
  std::thread thread{[this] { Loop(); }};  // last: it reads the members above

  ~Prefault() {
    {
      std::lock_guard lock(mutex);
      quit = true;
    }
    wake.notify_all();
    thread.join();
  }

  // Asks for [start, end) of the region at `base`; the part filled in already is skipped.
  void Want(char* base, char* start, char* end) {
    {
      std::lock_guard lock(mutex);
      from = base == region ? std::max(from, start) : start;
      region = base;
      to = end;
    }
    wake.notify_one();
  }

  void Loop() {
    RunAsBackground();
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return quit || from < to; });
      if (quit) return;
      char* end = std::min(to, from + kPrefaultStep);
      // The advice takes whole pages; the one `from` lies in may be filled in already.
      static const auto kPage = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
      char* start = reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(from) & ~(kPage - 1));
      from = end;
      lock.unlock();
      // Only page tables change: the bytes stay as they are, so appends may go on meanwhile.
      // An older kernel without this advice leaves the faults to the appending thread.
      const bool filled =
          ::madvise(start, static_cast<size_t>(end - start), MADV_POPULATE_WRITE) == 0;
      lock.lock();
      if (!filled) quit = true;
    }
  }
};

ResultStore::ResultStore() = default;
ResultStore::~ResultStore() {
  Release();
}
ResultStore::ResultStore(ResultStore&& other) noexcept {
  *this = std::move(other);
}

ResultStore& ResultStore::operator=(ResultStore&& other) noexcept {
  if (this == &other) return *this;
  Release();
  size_ = std::exchange(other.size_, 0);
  chunks_ = std::move(other.chunks_);
  chunkCount_ = std::exchange(other.chunkCount_, 0);
  regions_ = std::exchange(other.regions_, {});
  regionUsed_ = std::exchange(other.regionUsed_, 0);
  noRegions_ = std::exchange(other.noRegions_, false);
  prefault_ = std::move(other.prefault_);
  heapBlocks_ = std::exchange(other.heapBlocks_, {});
  heapChunks_ = std::exchange(other.heapChunks_, {});
  block_ = std::exchange(other.block_, nullptr);
  blockUsed_ = std::exchange(other.blockUsed_, 0);
  blockSize_ = std::exchange(other.blockSize_, 0);
  blockBytes_ = std::exchange(other.blockBytes_, 0);
  return *this;
}

const char* ResultStore::Store(std::string_view a, std::string_view b, std::string_view c,
                               std::string_view d, std::string_view e) {
  const size_t need = a.size() + b.size() + c.size() + d.size() + e.size();
  if (!block_ || blockSize_ - blockUsed_ < need) {
    size_t size = blockSize_ == 0 ? kFirstBlockSize : std::min(blockSize_ * 2, kMaxBlockSize);
    // An oversized record gets a block of exactly its size.
    size = std::max(size, need);
    block_ = static_cast<char*>(Carve(size));
    if (!block_) {
      heapBlocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
      block_ = heapBlocks_.back().get();
    }
    blockSize_ = size;
    blockUsed_ = 0;
    blockBytes_ += size;
  }
  char* start = block_ + blockUsed_;
  char* out = start;
  for (std::string_view part : {a, b, c, d, e}) {
    if (!part.empty()) std::memcpy(out, part.data(), part.size());
    out += part.size();
  }
  blockUsed_ += need;
  return start;
}

uint32_t ResultStore::Append(const HitView& record) {
  // The last index a uint32_t leaf can name; a run past it keeps what it has.
  if (size_ >= kMaxChunks * kChunkSize - 1) return static_cast<uint32_t>(size_ - 1);
  const std::string_view path = Bounded(record.path, kMaxLongText);
  const std::string_view size = Bounded(record.sizeText, kMaxShortText);
  const std::string_view date = Bounded(record.dateText, kMaxShortText);
  const std::string_view match = Bounded(record.matchLine, kMaxLongText);
  const std::string_view ext = Bounded(record.extension, kMaxShortText);
  // A category outside the thirteen would index past the tree's nodes.
  const FileCategory category = record.category.Valid() ? record.category : FileCategory(kOther);

  Entry entry{};
  entry.text = Store(path, size, date, match, ext);
  entry.pathLen = static_cast<uint32_t>(path.size());
  entry.matchLen = static_cast<uint32_t>(match.size());
  entry.sizeLen = static_cast<uint16_t>(size.size());
  entry.dateLen = static_cast<uint16_t>(date.size());
  entry.extLen = static_cast<uint16_t>(ext.size());
  entry.category = static_cast<uint8_t>(category);
  // Left as it comes: only slots below chunkCount_ are read, each written first. Zeroing half a
  // megabyte would touch every page of it at the first hit, on the window thread.
  if (!chunks_) chunks_ = std::make_unique_for_overwrite<Entry*[]>(kMaxChunks);
  const size_t chunk = size_ >> kChunkBits;
  if (chunk == chunkCount_) {
    chunks_[chunk] = static_cast<Entry*>(Carve(kChunkSize * sizeof(Entry)));
    if (!chunks_[chunk]) {
      heapChunks_.push_back(std::make_unique_for_overwrite<Entry[]>(kChunkSize));
      chunks_[chunk] = heapChunks_.back().get();
    }
    ++chunkCount_;
  }
  chunks_[chunk][size_ & (kChunkSize - 1)] = entry;
  return static_cast<uint32_t>(size_++);
}

RecordView ResultStore::View(size_t index) const {
  if (index >= size_) return {};
  return MakeReader().View(index);
}

ResultStore::Reader ResultStore::MakeReader() const {
  Reader reader;
  reader.chunks_ = chunks_.get();
  return reader;
}

FileCategory ResultStore::Reader::CategoryOf(size_t index) const {
  const auto* chunks = static_cast<const Entry* const*>(chunks_);
  return chunks[index >> kChunkBits][index & (kChunkSize - 1)].category;
}

RecordView ResultStore::Reader::View(size_t index) const {
  const auto* chunks = static_cast<const Entry* const*>(chunks_);
  const Entry& e = chunks[index >> kChunkBits][index & (kChunkSize - 1)];
  RecordView view;
  const char* p = e.text;
  view.path = {p, e.pathLen};
  p += e.pathLen;
  view.sizeText = {p, e.sizeLen};
  p += e.sizeLen;
  view.dateText = {p, e.dateLen};
  p += e.dateLen;
  view.matchLine = {p, e.matchLen};
  p += e.matchLen;
  view.extension = {p, e.extLen};
  view.category = e.category;
  return view;
}

void* ResultStore::Carve(size_t bytes) {
  bytes = (bytes + 63) & ~size_t{63};  // keeps every chunk aligned for its entries
  if (noRegions_ || bytes > kRegionSize) return nullptr;
  if (regions_.empty() || regions_.back().size - regionUsed_ < bytes) {
    // Written only as far as it is used; NORESERVE keeps the rest from counting as committed.
    void* base = ::mmap(nullptr, kRegionSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
      noRegions_ = true;
      return nullptr;
    }
    // Large pages: one fault per two megabytes instead of one per four kilobytes, and on a
    // virtual machine each of those can cost ten microseconds of the window thread's time. A
    // small search pays a page or two of memory for it.
    ::madvise(base, kRegionSize, MADV_HUGEPAGE);
    regions_.push_back({static_cast<char*>(base), kRegionSize});
    regionUsed_ = 0;
  }
  const Region& region = regions_.back();
  char* out = region.base + regionUsed_;
  regionUsed_ += bytes;
  if (regionUsed_ >= kPrefaultFrom) {
    if (!prefault_) prefault_ = std::make_unique<Prefault>();
    const size_t ahead = std::min(kPrefaultAhead, regionUsed_ / 8);
    prefault_->Want(region.base, out, region.base + std::min(region.size, regionUsed_ + ahead));
  }
  return out;
}

void ResultStore::Release() {
  prefault_.reset();  // nothing may be filled in once unmapped
  for (size_t i = 0; i < regions_.size(); ++i) {
    const Region& region = regions_[i];
    const size_t used = i + 1 == regions_.size() ? regionUsed_ : region.size;
    size_t done = 0;
    for (; done < used; done += kReleaseSlice)
      ::munmap(region.base + done, std::min(kReleaseSlice, region.size - done));
    if (done < region.size) ::munmap(region.base + done, region.size - done);
  }
  regions_.clear();
  regionUsed_ = 0;
}

void ResultStore::Clear() {
  chunks_.reset();
  chunkCount_ = 0;
  size_ = 0;
  Release();
  noRegions_ = false;
  std::vector<std::unique_ptr<char[]>>().swap(heapBlocks_);
  std::vector<std::unique_ptr<Entry[]>>().swap(heapChunks_);
  block_ = nullptr;
  blockUsed_ = 0;
  blockSize_ = 0;
  blockBytes_ = 0;
}

size_t ResultStore::BytesReserved() const {
  return (chunks_ ? kMaxChunks * sizeof(chunks_[0]) : 0) +
         chunkCount_ * kChunkSize * sizeof(Entry) +
         heapBlocks_.capacity() * sizeof(std::unique_ptr<char[]>) + blockBytes_;
}

}  // namespace findlark
