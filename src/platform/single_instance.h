#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace findlark {

// One running Findlark per user and display. The first start listens on a local socket in
// $XDG_RUNTIME_DIR; a later start connects, asks it to show itself (handing on its Wayland
// activation token, if the launcher gave it one), and gives up.
class SingleInstance : public QObject {
  Q_OBJECT
 public:
  explicit SingleInstance(QString key = DefaultKey(), QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when this process is the one instance; false when another one was found and asked
  // to show itself. A rendezvous left behind by a crashed instance is taken over.
  bool Claim();

  static QString DefaultKey();

 signals:
  // `activationToken`: the later start's XDG_ACTIVATION_TOKEN, or empty.
  void showRequested(const QByteArray& activationToken);

 private:
  QString key_;
  QLocalServer* server_ = nullptr;
};

}  // namespace findlark
