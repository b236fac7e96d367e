#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "results/result_record.h"

namespace findlark {

// A stored record seen in place; the views stay valid until the store is cleared.
struct RecordView {
  std::string_view path;
  std::string_view sizeText;
  std::string_view dateText;
  std::string_view matchLine;
  std::string_view extension;
  FileCategory category = 0;

  std::string_view Name() const;   // after the last "/"
  std::string_view Title() const;  // the leaf label
  ResultRecord ToRecord() const;
};

// The hits of one run in the order found. Texts live in large blocks and records in a compact
// table, so a million hits cost little beyond their path text; nothing stored ever moves.
class ResultStore {
 public:
  ResultStore();
  ~ResultStore();
  ResultStore(ResultStore&&) noexcept;
  ResultStore& operator=(ResultStore&&) noexcept;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  uint32_t Append(const ResultRecord& record);  // returns the new record's index
  RecordView View(size_t index) const;
  ResultRecord Get(size_t index) const { return View(index).ToRecord(); }
  void Clear();  // releases the storage
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
  const char* Store(std::string_view a, std::string_view b, std::string_view c,
                    std::string_view d, std::string_view e);

  std::vector<Entry> entries_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t blockUsed_ = 0;
  size_t blockSize_ = 0;
  size_t blockBytes_ = 0;  // sum of all block sizes
};

}  // namespace findlark
