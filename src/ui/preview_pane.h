#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>
#include <memory>
#include <string>

#include "ui/preview_engine.h"

class QStackedLayout;

namespace findlark {

// The preview pane. It shows a blank page until something is previewed; only then is the
// browser engine loaded (from its own library), so the window comes up fast and light.
class PreviewPane : public QWidget {
  Q_OBJECT
 public:
  // `engineLibrary`: the browser library's file; empty for the one installed beside us.
  explicit PreviewPane(QWidget* parent = nullptr, QString engineLibrary = {});
  ~PreviewPane() override;

  // Loads the file at `path` (bytes as the file system gave them).
  void Navigate(const std::string& path);
  bool BrowserStarted() const { return engine_ != nullptr; }
  // The widget that shows the page: the blank page until the browser has started.
  QWidget* Content() const;
  // Where the link the user clicked goes; by default to the desktop's browser.
  void SetLinkHandler(LinkHandler handler) { onLink_ = std::move(handler); }

 signals:
  // The browser's view has replaced the blank page (for the window's Tab order).
  void browserStarted();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  bool focusNextPrevChild(bool next) override;

 private:
  bool StartBrowser();
  void ShowFocus(bool shown);

  QString engineLibrary_;
  QStackedLayout* stack_ = nullptr;
  QWidget* blank_ = nullptr;
  QWidget* focusFrame_ = nullptr;
  std::unique_ptr<PreviewEngine> engine_;
  bool engineMissing_ = false;
  LinkHandler onLink_;
};

// A file URL that names exactly the bytes of `path`, whatever its encoding.
QUrl FileUrlOf(const std::string& path);

// Whether a link clicked in a previewed page may go to the desktop's handler: web and mail
// addresses only, never a local file or another program's scheme.
bool IsLinkForBrowser(const QUrl& url);

// The browser library installed with the program.
QString InstalledPreviewLibrary();

}  // namespace findlark
