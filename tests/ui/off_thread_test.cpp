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

// The application each test runs in.
struct App {
  int argc = 1;
  char name[17] = "off_thread_tests";
  char* argv[2] = {name, nullptr};
  QCoreApplication app{argc, argv};
};

TEST(OffThread, OnlyTheLatestAnswerArrivesOnTheOwnersThread) {
  App app;
  QObject owner;
  OffThread loader(&owner);
  std::vector<std::pair<std::string, QThread*>> answers;
  const auto done = [&](std::shared_ptr<std::string> answer) {
    answers.emplace_back(*answer, QThread::currentThread());
  };
  const auto say = [](const char* text) {
    return [text] { return std::make_shared<std::string>(text); };
  };
  std::promise<void> release;
  std::atomic<bool> firstGone = false;
  // The first request is still running when the second comes: its answer must not show.
  loader.Run(
      [released = release.get_future().share(), &firstGone] {
        released.wait();
        return std::shared_ptr<std::string>(new std::string("first"), [&firstGone](auto* s) {
          delete s;
          firstGone = true;
        });
      },
      done);
  loader.Run(say("second"), done);
  ASSERT_TRUE(Await([&] { return !answers.empty(); }));
  release.set_value();
  ASSERT_TRUE(Await([&] { return firstGone.load(); }));  // its answer was made and dropped
  loader.Run(say("third"), done);
  loader.Cancel();
  loader.Run(say("fourth"), done);
  ASSERT_TRUE(Await([&] { return answers.size() >= 2; }));
  QCoreApplication::processEvents();
  QThread* const main = app.app.thread();
  EXPECT_EQ(answers,
            (std::vector<std::pair<std::string, QThread*>>{{"second", main}, {"fourth", main}}));
}

TEST(OffThread, AnswersAfterTheOwnerHasGoneAreDropped) {
  App app;
  std::promise<void> release, finished;
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
