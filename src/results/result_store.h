#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "results/result_record.h"

namespace findlark {

// A stored record seen in place; the views stay valid until the store is cleared. The store
// keeps the size and date as texts only.
struct RecordView : HitView {
  std::string_view Name() const;   // after the last "/"
  std::string_view Title() const;  // the leaf label
};

// The hits of one run in the order found. Texts live in large blocks and records in fixed-size
// chunks of a compact table, so ten million hits cost little beyond their path text, and
// nothing stored ever moves: growing never copies the table, and a record appended before
// another thread learned of it (through a lock or a queue) may be read there through a Reader
// while appends go on. Blocks and chunks are cut from address space reserved a few gigabytes at
// a time, whose pages the kernel fills in as they are first written: asking it for a new mapping
// for each block would wait, on the appending thread, for whatever mapping work other threads
// do, such as a helper freeing a large list.
class ResultStore {
 public:
  ResultStore();
  ~ResultStore();
  ResultStore(ResultStore&& other) noexcept;  // `other` is left empty
  ResultStore& operator=(ResultStore&& other) noexcept;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  uint32_t Append(const HitView& record);  // returns the new record's index
  RecordView View(size_t index) const;     // an empty view past the end

  // Reads the records appended before it was made, on any thread, for as long as they live:
  // moving the store (to free it elsewhere) leaves them where they are; Clear ends them.
  class Reader {
   public:
    RecordView View(size_t index) const;
    FileCategory CategoryOf(size_t index) const;  // without looking at the texts

   private:
    friend class ResultStore;
    const void* chunks_ = nullptr;
  };
  Reader MakeReader() const;
  ResultRecord Get(size_t index) const { return View(index).ToRecord(); }
  void Clear();                  // releases the storage
  size_t BytesReserved() const;  // heap held: record table capacity plus text blocks

 private:
  struct Entry {
    const char* text;  // path, size, date, match line, extension, back to back
    uint32_t pathLen;
    uint32_t matchLen;
    uint16_t sizeLen;
    uint16_t dateLen;
    uint16_t extLen;
    uint8_t category;
  };
  const char* Store(std::string_view a, std::string_view b, std::string_view c, std::string_view d,
                    std::string_view e);
  void* Carve(size_t bytes);  // from the reserved space; null when none can be had
  void Release();

  struct Region {
    char* base;
    size_t size;
  };
  struct Prefault;

  static constexpr size_t kChunkBits = 16;
  static constexpr size_t kChunkSize = size_t{1} << kChunkBits;
  // Enough chunk slots for every index a uint32_t can give; the table never reallocates.
  static constexpr size_t kMaxChunks = (size_t{1} << 32) >> kChunkBits;

  size_t size_ = 0;
  std::unique_ptr<Entry*[]> chunks_;  // kMaxChunks slots once used
  size_t chunkCount_ = 0;
  std::vector<Region> regions_;
  size_t regionUsed_ = 0;   // of regions_.back()
  bool noRegions_ = false;  // reserving failed: blocks and chunks come from the heap
  std::unique_ptr<Prefault> prefault_;
  std::vector<std::unique_ptr<char[]>> heapBlocks_;
  std::vector<std::unique_ptr<Entry[]>> heapChunks_;
  char* block_ = nullptr;
  size_t blockUsed_ = 0;
  size_t blockSize_ = 0;
  size_t blockBytes_ = 0;  // sum of all block sizes
};

}  // namespace findlark
