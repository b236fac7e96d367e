#pragma once

#include <QWidget>
#include <string>

class QStackedLayout;
class QWebEngineView;

namespace findlark {

// The preview pane. It shows a blank page until something is previewed; only then is the
// browser engine started, so the window comes up fast.
class PreviewPane : public QWidget {
  Q_OBJECT
 public:
  explicit PreviewPane(QWidget* parent = nullptr);

  // Loads the file at `path` (bytes as the file system gave them).
  void Navigate(const std::string& path);
  bool BrowserStarted() const { return view_ != nullptr; }

 private:
  QStackedLayout* stack_ = nullptr;
  QWebEngineView* view_ = nullptr;
};

// A file URL that names exactly the bytes of `path`, whatever its encoding.
QUrl FileUrlOf(const std::string& path);

}  // namespace findlark
