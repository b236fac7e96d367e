#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
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
// folders it is about to enter (and, in turn, their sub-folders), and reading the files it is
// about to search. The walker plans the work of each listing chunk it takes up, takes the
// answers in its own order, and retires the chunk when it leaves it; so the hits and their
// order are those of a walk on one thread. An answer made ahead of time is checked against the
// entry as it is when the walker gets there, and made again when the entry has changed.
class ReadAhead {
 public:
  enum class Kind : unsigned char { kFolder, kFile, kLinkedFile };
  struct Job {
    const char* name;  // inside the chunk's listing, which stays put until the chunk is retired
    Kind kind;
  };
  class Chunk;
  struct Answer {
    FolderListing folder;
    std::unique_ptr<Chunk> inside;  // a folder listed ahead: the folders planned in it meanwhile
    std::unique_ptr<Chunk> files;   // and its files, read by a helper with nothing nearer to do
    std::string matchLine;          // a file's first matching line; empty when it has none
    struct stat fileStat {};        // of the file read, when `matchLine` is not empty
  };
  // Searches one file: the first matching line, or empty. A file larger than `maxSize` (when
  // that is not negative) is left unread and `declined` set. Called on any thread.
  using FileReader = std::function<std::string(int dirFd, const char* name, bool link,
                                               struct stat* st, off_t maxSize, bool& declined)>;
  // The folders to enter and the files to search inside a folder listed ahead at `depth`, in
  // listing order; none when its descriptor will not stay open. Called on any thread.
  using FolderPlanner = std::function<void(const FolderListing& listing, size_t depth,
                                           std::vector<Job>& folders, std::vector<Job>& files)>;

  static constexpr size_t kNoJob = static_cast<size_t>(-1);

  // The planned work of one listing chunk.
  class Chunk {
   public:
    // The job planned for the entry `name` of this chunk, or kNoJob. Entries are asked about
    // in listing order.
    size_t JobFor(const char* name);
    bool planned() const { return planned_; }

   private:
    friend class ReadAhead;
    enum class State : unsigned char { kOpen, kBusy, kDone, kTaken };
    struct Slot {
      State state = State::kOpen;
      std::unique_ptr<Answer> answer;
    };
    Chunk* parent_ = nullptr;  // the chunk this one was planned inside, while ahead of the walker
    int dirFd_ = -1;
    size_t depth_ = 0;  // of the folder listed
    bool planned_ = false;
    bool folders_ = false;  // holds folder jobs (searched in walk order, nested)
    std::vector<Job> jobs_;
    std::vector<Slot> slots_;
    size_t cursor_ = 0;     // the walker's own position among the jobs (JobFor)
    size_t taken_ = 0;      // helpers work from here on
    size_t claimNext_ = 0;  // file chunks: no open slot before this one
    int inFlight_ = 0;      // jobs being done in this chunk or in chunks planned inside it
  };

  // `helpers` threads besides the walker (started with the first plan); with none, nothing is
  // ever planned and the walker does everything itself.
  ReadAhead(int helpers, FileReader readFile, FolderPlanner planFolder,
            const std::atomic<bool>* stop);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  bool enabled() const { return helpersWanted_ > 0; }

  // Offers `jobs` (in walk order, all folders or all files) of the chunk listed from `dirFd`,
  // a folder at `depth`, to the helpers. `jobs` is swapped with the chunk's previous list.
  // `dirFd` stays open until the chunk is retired.
  void Plan(Chunk& chunk, int dirFd, size_t depth, std::vector<Job>& jobs);
  // The walker entered a folder listed ahead: the work planned inside it becomes its own.
  void Adopt(Chunk& chunk);
  // The answer to job `index` of `chunk`: a helper's, or made now.
  Answer Take(Chunk& chunk, size_t index);
  // Helpers let go of the chunk; answers nobody took are dropped.
  void Retire(Chunk& chunk);

 private:
  using State = Chunk::State;
  bool Stopped() const { return stop_ != nullptr && stop_->load(std::memory_order_relaxed); }
  std::unique_ptr<Answer> Work(Chunk& chunk, size_t index, off_t maxSize, bool planInside,
                               bool& declined);
  bool StillTrue(const Chunk& chunk, size_t index, const Answer& answer) const;
  bool FindFileWork(Chunk& chunk, size_t& index);
  bool FindFolderWork(Chunk& chunk, size_t from, size_t to, bool& passedOne, Chunk*& found,
                      size_t& index);
  bool MakeRoomBefore(size_t pos, size_t index);
  bool FindAnyWork(bool leaveFirst, Chunk*& chunk, size_t& index);
  bool FindFileWorkAhead(Chunk& folders, size_t from, Chunk*& found, size_t& index);
  void RunSlot(std::unique_lock<std::mutex>& lock, Chunk& chunk, size_t index, off_t maxSize);
  void Release(std::unique_lock<std::mutex>& lock, Answer& answer);
  void ReleaseSlots(Chunk& chunk);
  void HelperLoop();
  void Changed() { changes_.fetch_add(1, std::memory_order_release); }
  template <class Ready>
  void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int& sleepers,
                 Ready ready);

  const int helpersWanted_;
  const FileReader readFile_;
  const FolderPlanner planFolder_;
  const std::atomic<bool>* const stop_;
  std::vector<std::thread> helpers_;

  std::mutex mutex_;
  std::condition_variable workCv_;  // helpers wait here for open slots
  std::condition_variable doneCv_;  // the walker waits here for a helper's answer
  int idleHelpers_ = 0;
  int waitingWalker_ = 0;
  // The walker's chunks that helpers may work on, outermost first; the innermost is needed
  // soonest. Chunks planned inside folders listed ahead hang off their answers.
  std::vector<Chunk*> chunks_;
  int listingsHeld_ = 0;  // opened folders done or being done, not yet taken
  bool quit_ = false;
  std::atomic<unsigned> changes_{0};  // bumped under mutex_ whenever a waiter may proceed
};

}  // namespace findlark
