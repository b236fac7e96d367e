#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>
#include <memory>
#include <string>

#include "results/hit_info.h"
#include "ui/off_thread.h"
#include "ui/preview_engine.h"

class QLabel;
class QStackedLayout;

namespace findlark {

class TextPreview;
class PicturePreview;

// Web pages bigger than this are not loaded: the browser's memory grows many times over.
inline constexpr qint64 kPagePreviewBytes = qint64{16} << 20;

// The preview pane. It shows a blank page until something is previewed, then one of three
// views by the kind of file: text and pictures in the window's own views, web pages in the
// browser engine, loaded (from its own library) on the first page, so the window comes up fast
// and light. Files are read and pictures decoded off the window thread, each within a bound;
// what cannot be shown is said in a short note instead.
class PreviewPane : public QWidget {
  Q_OBJECT
 public:
  // `engineLibrary`: the browser library's file; empty for the one installed beside us.
  explicit PreviewPane(QWidget* parent = nullptr, QString engineLibrary = {});
  ~PreviewPane() override;

  // Shows the file at `path` (bytes as the file system gave them) as its kind is shown. The
  // pane keeps what it shows until the new file is ready.
  void Navigate(const std::string& path, PreviewKind kind);
  bool BrowserStarted() const { return engine_ != nullptr; }
  // The widget that shows the preview: the blank page, the text, the picture, the note or the
  // browser's view.
  QWidget* Content() const;
  TextPreview* Text() const { return text_; }
  PicturePreview* Picture() const { return picture_; }
  QLabel* Note() const { return note_; }
  // Larger (steps > 0) or smaller text or page; 0 for the normal size.
  void Zoom(int steps);
  // Where the link the user clicked goes; by default to the desktop's browser.
  void SetLinkHandler(LinkHandler handler) { onLink_ = std::move(handler); }

 signals:
  // The browser's view has joined the pane (for the window's Tab order).
  void browserStarted();
  // A file asked for has been read (or found unreadable) and is on show; for tests.
  void shown();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  bool focusNextPrevChild(bool next) override;

 private:
  bool StartBrowser();
  void ShowFocus(bool shown);
  void ShowWidget(QWidget* widget);
  void ShowNote(const QString& text);

  QString engineLibrary_;
  QStackedLayout* stack_ = nullptr;
  QWidget* blank_ = nullptr;
  TextPreview* text_ = nullptr;
  PicturePreview* picture_ = nullptr;
  QLabel* note_ = nullptr;
  QWidget* focusFrame_ = nullptr;
  QMetaObject::Connection focusWatch_;
  OffThread loader_{this};
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
