#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace findlark {

// Runs work on a thread of its own and hands the result to a widget on its thread. The thread
// is never joined: a read from a dead network mount may never return, and the window must
// close all the same. A result that arrives after its owner has gone is dropped.
//
// A finished thread leaves its answer under a lock and wakes the owner's thread through an
// eventfd, so nothing crosses between the threads outside that lock and that descriptor.
class OffThread {
 public:
  explicit OffThread(QObject* owner) : mailbox_(std::make_shared<Mailbox>()) {
    if (mailbox_->wake < 0) return;  // no descriptors left: nothing will be answered
    notifier_ = std::make_unique<QSocketNotifier>(mailbox_->wake, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, owner, [this] { Deliver(); });
  }
  ~OffThread() {
    notifier_.reset();
    const std::lock_guard lock(mailbox_->mutex);
    mailbox_->open = false;
    mailbox_->answers.clear();
  }
  OffThread(const OffThread&) = delete;
  OffThread& operator=(const OffThread&) = delete;

  // `work` runs off the window thread; `done` with its result on the owner's thread, unless
  // Run was called again meanwhile (only the latest request is answered).
  template <typename Work, typename Done>
  void Run(Work work, Done done) {
    const uint64_t ticket = ++latest_;
    std::thread([mailbox = mailbox_, ticket, work = std::move(work),
                 done = std::move(done)]() mutable {
      auto answer = [result = std::make_shared<decltype(work())>(work()),
                     done = std::move(done)]() mutable { done(std::move(*result)); };
      const std::lock_guard lock(mailbox->mutex);
      if (!mailbox->open) return;
      mailbox->answers.emplace_back(ticket, std::move(answer));
      const uint64_t one = 1;
      (void)!::write(mailbox->wake, &one, sizeof one);
    }).detach();
  }

  // Drops the answer to any request still running.
  void Cancel() { ++latest_; }

 private:
  struct Mailbox {
    std::mutex mutex;
    bool open = true;  // false once the owner has gone
    std::vector<std::pair<uint64_t, std::function<void()>>> answers;
    // Closed with the last reference, which a thread still running may hold.
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~Mailbox() {
      if (wake >= 0) ::close(wake);
    }
  };

  void Deliver() {
    uint64_t count = 0;
    (void)!::read(mailbox_->wake, &count, sizeof count);
    std::function<void()> answer;
    {
      const std::lock_guard lock(mailbox_->mutex);
      for (auto& [ticket, made] : mailbox_->answers)
        if (ticket == latest_) answer = std::move(made);
      mailbox_->answers.clear();
    }
    if (answer) answer();
  }

  std::shared_ptr<Mailbox> mailbox_;
  std::unique_ptr<QSocketNotifier> notifier_;
  uint64_t latest_ = 0;  // read and written on the owner's thread only
};

}  // namespace findlark
