#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace findlark {

// A helper thread that frees what it is handed, soon after. For memory that another thread
// allocated: freeing it on the owner's thread would wait for that thread's allocator whenever
// it holds it, and a thread that has lost its core may hold it for a long time.
class Disposer {
 public:
  Disposer();
  ~Disposer();  // frees what is left, then joins
  Disposer(const Disposer&) = delete;
  Disposer& operator=(const Disposer&) = delete;

  void Release(std::shared_ptr<void> garbage);

 private:
  void Loop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::shared_ptr<void>> garbage_;
  bool quit_ = false;
  std::thread thread_;  // last: it reads the members above
};

}  // namespace findlark
