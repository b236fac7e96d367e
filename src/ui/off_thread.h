#pragma once

#include <QMetaObject>
#include <QObject>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace findlark {

// Runs work on a thread of its own and hands the result to a widget on its thread. The thread
// is never joined: a read from a dead network mount may never return, and the window must
// close all the same. A result that arrives after its owner has gone is dropped.
class OffThread {
 public:
  explicit OffThread(QObject* owner) : mailbox_(std::make_shared<Mailbox>()) {
    mailbox_->owner = owner;
  }
  ~OffThread() {
    const std::lock_guard lock(mailbox_->mutex);
    mailbox_->owner = nullptr;
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
      auto result = std::make_shared<decltype(work())>(work());
      const std::lock_guard lock(mailbox->mutex);
      if (!mailbox->owner) return;
      QMetaObject::invokeMethod(
          mailbox->owner,
          [mailbox, ticket, result, done = std::move(done)]() mutable {
            if (mailbox->answered(ticket)) done(std::move(*result));
          },
          Qt::QueuedConnection);
    }).detach();
    mailbox_->latest = ticket;
  }

  // Drops the answer to any request still running.
  void Cancel() { mailbox_->latest = ++latest_; }

 private:
  struct Mailbox {
    std::mutex mutex;
    QObject* owner = nullptr;  // null once the owner has gone
    uint64_t latest = 0;       // read and written on the owner's thread only
    bool answered(uint64_t ticket) const { return ticket == latest; }
  };
  std::shared_ptr<Mailbox> mailbox_;
  uint64_t latest_ = 0;
};

}  // namespace findlark
