#pragma once

#include <QObject>

class QSocketNotifier;

namespace findlark {

// Turns SIGTERM and SIGHUP (the session ending) into a signal on the window thread, so the
// program can end the way Exit does instead of dying with its settings unsaved. One at a time.
class SessionSignals : public QObject {
  Q_OBJECT
 public:
  explicit SessionSignals(QObject* parent = nullptr);
  ~SessionSignals() override;

 signals:
  void endRequested();

 private:
  void OnReadable();

  int fds_[2] = {-1, -1};  // written by the handler, read on the window thread
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace findlark
