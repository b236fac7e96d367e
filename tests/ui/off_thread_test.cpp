// The preview's loader hands results from its own threads back to the window thread. Built
// with Qt Core alone, so that ThreadSanitizer checks the hand-over in the build without the
// window.
#include "ui/off_thread.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <atomic>
#include <future>
#include <memory>

namespace findlark {
namespace {

// Runs the owner's event loop until `ready`, for at most a minute.
template <typename Ready>
bool Await(Ready ready) {
  const QDeadlineTimer deadline(60'000);
  while (!ready() && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return ready();
}

TEST(OffThread, OnlyTheLatestAnswerArrivesOnTheOwnersThread) {
  int argc = 1;
  char name[] = "off_thread_tests";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  QObject owner;
  OffThread loader(&owner);
  std::vector<std::string> answers;
  std::vector<QThread*> threads;
  auto done = [&](std::string answer) {
    answers.push_back(answer);
    threads.push_back(QThread::currentThread());
  };
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> firstGone = false;
  // The first request is still running when the second comes: its answer must not show.
  loader.Run(
      [released, &firstGone] {
        released.wait();
        return std::shared_ptr<std::string>(new std::string("first"), [&firstGone](auto* s) {
          delete s;
          firstGone = true;
        });
      },
      [&](std::shared_ptr<std::string> answer) { done(*answer); });
  loader.Run([] { return std::make_shared<std::string>("second"); },
             [&](std::shared_ptr<std::string> answer) { done(*answer); });
  ASSERT_TRUE(Await([&] { return !answers.empty(); }));
  release.set_value();
  ASSERT_TRUE(Await([&] { return firstGone.load(); }));  // its answer was made and dropped
  loader.Run([] { return std::make_shared<std::string>("third"); },
             [&](std::shared_ptr<std::string> answer) { done(*answer); });
  loader.Cancel();
  loader.Run([] { return std::make_shared<std::string>("fourth"); },
             [&](std::shared_ptr<std::string> answer) { done(*answer); });
  ASSERT_TRUE(Await([&] { return answers.size() >= 2; }));
  QCoreApplication::processEvents();
  EXPECT_EQ(answers, (std::vector<std::string>{"second", "fourth"}));
  EXPECT_EQ(threads, (std::vector<QThread*>{app.thread(), app.thread()}));
}

TEST(OffThread, AnswersAfterTheOwnerHasGoneAreDropped) {
  int argc = 1;
  char name[] = "off_thread_tests";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  std::promise<void> release;
  std::promise<void> finished;
  bool called = false;
  {
    auto owner = std::make_unique<QObject>();
    OffThread loader(owner.get());
    loader.Run(
        [released = release.get_future().share(), &finished] {
          released.wait();
          return std::shared_ptr<int>(new int(1), [&finished](int* p) {
            delete p;
            finished.set_value();  // once the answer itself is gone
          });
        },
        [&called](std::shared_ptr<int>) { called = true; });
  }
  release.set_value();
  finished.get_future().wait();
  QCoreApplication::processEvents();
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace findlark
