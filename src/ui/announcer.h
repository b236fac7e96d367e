#pragma once

#include <QString>
#include <QWidget>

namespace findlark {

// Says a short text to a screen reader without moving the focus: an empty, zero-sized
// notification in the window, shown anew with each text, which AT-SPI readers speak. Qt 6.4 has no
// announcement event of its own, and its bridge passes on neither a label's new text nor a
// tree node's expanded state unless the object has the focus.
class Announcer : public QWidget {
  Q_OBJECT

 public:
  // Says `text` through the announcer of `from`'s window, made on first use.
  static void Say(QWidget* from, const QString& text);

 private:
  explicit Announcer(QWidget* window);
  void Announce(const QString& text);
};

}  // namespace findlark
