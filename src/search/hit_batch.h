#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "results/result_record.h"
#include "search/hit_memory.h"

namespace findlark {

class Subtree;

// Hits packed one after another, cut from a batch between its subtrees; valid while the batch
// is. Handed on as they are, they need no unpacking and packing again.
struct HitRun {
  std::string_view bytes;
  size_t count = 0;
  size_t lastAt = 0;  // where in `bytes` the last hit starts, when there is one
};

// Cuts the first `n` hits (at most all) off `run` and returns them.
HitRun CutRun(HitRun& run, size_t n);
// The path of the last hit of `run`; empty when it holds none.
std::string_view LastPath(const HitRun& run);

// Hits packed into one buffer, in the order added, and (for a walker far ahead of the thread
// that collects) subtrees handed on from inside the one being walked, at their place. As
// records, tens of thousands of hits would cost an allocation or two apiece to make and as many
// to free, on threads that contend for the allocator; a batch that is cleared keeps its memory
// for the next ones.
class HitBatch {
 public:
  void AddHit(const HitView& hit);
  void AddSubtree(Subtree* inside);
  void Append(const HitBatch& other);  // `other`'s entries after this one's
  void Append(const HitRun& run);
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  size_t capacity() const { return bytes_.capacity(); }
  size_t bytes() const { return bytes_.size(); }
  HitRun AsRun() const { return {{bytes_.data(), bytes_.size()}, count_, lastAt_}; }  // hits only
  void clear() {
    bytes_.clear();
    count_ = 0;
    marks_.clear();
    tailHits_ = 0;
  }
  void swap(HitBatch& other) noexcept {
    bytes_.swap(other.bytes_);
    std::swap(count_, other.count_);
    marks_.swap(other.marks_);
    std::swap(tailHits_, other.tailHits_);
    std::swap(lastAt_, other.lastAt_);
  }

  // In order: `onHits(run)` for the hits between two subtrees, `onSubtree(inside)` for each
  // subtree. Found from where the subtrees were added, without reading the hits, which is what
  // makes handing a helper's hits on cheap for the thread that waits for them.
  template <typename OnHits, typename OnSubtree>
  void ForEachPart(OnHits onHits, OnSubtree onSubtree) const {
    size_t from = 0;
    for (const Mark& mark : marks_) {
      if (mark.hits > 0) onHits(RunOf(from, mark.at, mark.hits, mark.lastAt));
      onSubtree(SubtreeAt(mark.at));
      from = mark.at + kSubtreeEntry;
    }
    if (tailHits_ > 0) onHits(RunOf(from, bytes_.size(), tailHits_, lastAt_));
  }

  // Reads a batch back in order, as long as the batch is left alone.
  class Reader {
   public:
    explicit Reader(const HitBatch& batch)
        : at_(batch.bytes_.data()), end_(at_ + batch.bytes_.size()) {}
    explicit Reader(const HitRun& run) : at_(run.bytes.data()), end_(at_ + run.bytes.size()) {}
    // False at the end. Otherwise either `inside` is set, or it is null and `hit` was refilled.
    bool Next(HitView& hit, Subtree*& inside);
    bool Next(ResultRecord& hit, Subtree*& inside);  // keeps `hit`'s memory where it can
    const char* at() const { return at_; }           // where the next entry starts

   private:
    const char* at_;
    const char* end_;
  };

  // The hits of a batch that holds no subtrees, such as a search's queue.
  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = HitView;
    using difference_type = std::ptrdiff_t;
    using pointer = const HitView*;
    using reference = const HitView&;

    Iterator(const HitBatch& batch, bool end) : reader_(batch) {
      if (!end) ++*this;
    }
    const HitView& operator*() const { return hit_; }
    const HitView* operator->() const { return &hit_; }
    Iterator& operator++() {
      Subtree* inside = nullptr;
      do {
        done_ = !reader_.Next(hit_, inside);
      } while (!done_ && inside != nullptr);
      return *this;
    }
    bool operator==(const Iterator& other) const { return done_ == other.done_; }

   private:
    Reader reader_;
    HitView hit_;
    bool done_ = true;
  };
  Iterator begin() const { return Iterator(*this, false); }
  Iterator end() const { return Iterator(*this, true); }

 private:
  // A subtree's entry, and the run of hits before it (since the previous one).
  struct Mark {
    size_t at;
    size_t hits;
    size_t lastAt;
  };
  static constexpr size_t kSubtreeEntry = 1 + sizeof(Subtree*);

  void ReserveUsual();
  HitRun RunOf(size_t from, size_t to, size_t hits, size_t lastAt) const {
    return {{bytes_.data() + from, to - from}, hits, lastAt - from};
  }
  Subtree* SubtreeAt(size_t at) const;

  std::basic_string<char, std::char_traits<char>, HitAllocator<char>> bytes_;
  size_t count_ = 0;
  std::vector<Mark> marks_;
  size_t tailHits_ = 0;  // hits after the last subtree
  size_t lastAt_ = 0;    // where the last of them starts
};

}  // namespace findlark
