#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace findlark {

// Bytes asked of one getdents64 call, and the most a folder listed ahead holds.
inline constexpr size_t kListingChunk = 32 * 1024;

// An opened folder and the first part of its listing (raw getdents64 records).
struct FolderListing {
  int fd = -1;        // -1: it could not be opened
  struct stat st {};  // of the opened folder
  std::vector<char> records;
  bool complete = false;  // `records` is the whole listing
};

// Opens the folder `name` inside `dirFd` (never through a link) and reads up to kListingChunk
// bytes of its listing.
FolderListing ListFolderAt(int dirFd, const char* name);

// Work that helper threads do for the walker ahead of its position: opening and listing the
// folders it is about to enter, and reading the files it is about to search. The walker plans
// the work of each listing chunk it takes up, takes the answers in its own order, and retires
// the chunk when it is done with it; so the hits and their order are those of a walk on one
// thread. An answer made ahead of time is checked against the entry as it is when the walker
// gets there, and made again when the entry has changed meanwhile.
class ReadAhead {
 public:
  enum class Kind : unsigned char { kFolder, kFile, kLinkedFile };
  struct Job {
    const char* name;  // inside the chunk's listing, which stays put until the chunk is retired
    Kind kind;
  };
  struct Answer {
    FolderListing folder;
    std::string matchLine;    // a file's first matching line; empty when it has none
    struct stat fileStat {};  // of the file read, when `matchLine` is not empty
  };
  // Searches one file: the first matching line, or empty. A file larger than `maxSize` (when
  // that is not negative) is left unread and `declined` set.
  using FileReader = std::function<std::string(int dirFd, const char* name, bool link,
                                               struct stat* st, off_t maxSize, bool& declined)>;

  static constexpr size_t kNoJob = static_cast<size_t>(-1);

  // The planned work of one listing chunk. Owned by the walker's folder; only ReadAhead and
  // the walker touch it.
  class Chunk {
   public:
    // The job planned for the entry `name` of this chunk, or kNoJob. Entries are asked about
    // in listing order.
    size_t JobFor(const char* name);

   private:
    friend class ReadAhead;
    enum class State : unsigned char { kOpen, kBusy, kDone, kTaken };
    struct Slot {
      State state = State::kOpen;
      Answer answer;
    };
    int dirFd_ = -1;
    bool planned_ = false;
    std::vector<Job> jobs_;
    std::vector<Slot> slots_;
    size_t cursor_ = 0;     // the walker's own position among the jobs (JobFor)
    size_t taken_ = 0;      // helpers work up to kWorkAhead jobs past this
    size_t claimNext_ = 0;  // no open slot before this one
    int inFlight_ = 0;      // slots being worked on by a thread other than the taker
  };

  // `helpers` threads besides the walker (started with the first plan); with none, nothing is
  // ever planned and the walker does everything itself.
  ReadAhead(int helpers, FileReader readFile, const std::atomic<bool>* stop);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  bool enabled() const { return helpersWanted_ > 0; }

  // Offers `jobs` (in walk order) of the chunk listed from `dirFd` to the helpers. `jobs` is
  // swapped with the chunk's previous list. `dirFd` stays open until the chunk is retired.
  void Plan(Chunk& chunk, int dirFd, std::vector<Job>& jobs);
  // The answer to job `index` of `chunk`: a helper's, or made now.
  Answer Take(Chunk& chunk, size_t index);
  // Helpers let go of the chunk; answers nobody took are dropped. Only the chunk planned last
  // and not yet retired may be retired.
  void Retire(Chunk& chunk);

 private:
  using State = Chunk::State;
  bool Stopped() const { return stop_ != nullptr && stop_->load(std::memory_order_relaxed); }
  Answer Work(const Chunk& chunk, size_t index, off_t maxSize, bool& declined) const;
  bool StillTrue(const Chunk& chunk, size_t index, const Answer& answer) const;
  bool FindWork(Chunk& chunk, size_t& index);
  bool FindAnyWork(Chunk*& chunk, size_t& index);
  void RunSlot(std::unique_lock<std::mutex>& lock, Chunk& chunk, size_t index, off_t maxSize);
  void HelperLoop();
  void Changed() { changes_.fetch_add(1, std::memory_order_release); }
  template <class Ready>
  void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int& sleepers,
                 Ready ready);

  const int helpersWanted_;
  const FileReader readFile_;
  const std::atomic<bool>* const stop_;
  std::vector<std::thread> helpers_;

  std::mutex mutex_;
  std::condition_variable workCv_;  // helpers wait here for open slots
  std::condition_variable doneCv_;  // the walker waits here for a helper's answer
  int idleHelpers_ = 0;
  int waitingWalker_ = 0;
  // Chunks that helpers may work on, outermost first; the innermost is needed soonest.
  std::vector<Chunk*> chunks_;
  int listingsHeld_ = 0;  // opened folders done or being done, not yet taken
  bool quit_ = false;
  std::atomic<unsigned> changes_{0};  // bumped under mutex_ whenever a waiter may proceed
};

}  // namespace findlark
