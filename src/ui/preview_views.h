#pragma once

#include <QImage>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <string>
#include <vector>

class QLabel;

namespace findlark {

// At most this much of a text file is shown: enough to read, little enough to load at once.
inline constexpr qint64 kTextPreviewBytes = qint64{4} << 20;

// A text file's beginning, decoded for showing.
struct PreviewText {
  QString text;
  qint64 shown = 0;  // bytes of the file in `text`
  qint64 total = 0;  // the file's size
  QString note;      // why nothing is shown, when the file could not be read
};

// Reads up to `limit` bytes of the regular file at `path` (never a FIFO or a device) and
// decodes them: UTF-8 or UTF-16 with a byte-order mark, else UTF-8 when the bytes are valid
// UTF-8, else Latin-1. A cut never splits a UTF-8 sequence. Blocks: call off the window thread.
PreviewText ReadPreviewText(const std::string& path, qint64 limit = kTextPreviewBytes);
QString DecodePreviewText(const QByteArray& bytes);
// "Showing the first 4 MB of 200 MB".
QString CutNotice(qint64 shown, qint64 total);

// A text is put on show in pieces of about this many characters, so no one step keeps the
// window busy; a line longer than kTextLineChars is shown broken into lines of that length, as
// laying out one huge line takes seconds.
inline constexpr qsizetype kTextPieceChars = 128 * 1024;
inline constexpr qsizetype kTextLineChars = 16 * 1024;
// The pieces, in order: joined with line feeds they give the text, long lines broken.
QStringList SplitForShowing(const QString& text);

// Pictures bigger than this (in pixels) are not decoded, unless their format can decode
// straight to a smaller size; animations stop at so many frames or so many bytes of frames.
inline constexpr qint64 kPictureMaxPixels = qint64{32} << 20;
inline constexpr int kPictureMaxFrames = 300;
inline constexpr qint64 kPictureMaxFrameBytes = qint64{128} << 20;

struct DecodedPicture {
  std::vector<QImage> frames;  // empty when nothing can be shown
  std::vector<int> delays;     // milliseconds each frame stays, for an animation
  QSize size;                  // as the file gives it; invalid when unknown
  QString note;                // why nothing is shown
};

// Checks the picture's size before decoding it; never allocates more than the limits above.
// Blocks: call off the window thread. The pane sets QImageReader's allocation limit as well,
// for a format whose header gives no size.
DecodedPicture DecodePicture(const std::string& path);

// Previewed text: read-only but selectable, in the desktop's palette and font, zoomed with
// Ctrl+wheel (and the pane's Ctrl+plus and Ctrl+minus); a line above says when it is cut.
class TextPreview : public QWidget {
  Q_OBJECT
 public:
  explicit TextPreview(QWidget* parent = nullptr);
  void Show(const PreviewText& text);
  bool Loading() const { return !pending_.isEmpty(); }
  void Zoom(int steps);  // 0: back to the desktop's size

  QPlainTextEdit* Editor() const { return editor_; }
  QLabel* Notice() const { return notice_; }

 signals:
  void loaded();  // the last piece of a text shown in pieces is in

 private:
  void AppendPiece();

  QLabel* notice_;
  QPlainTextEdit* editor_;
  int zoom_ = 0;
  QStringList pending_;  // the text being put on show, piece by piece
  qsizetype next_ = 0;
  QTimer appender_;
};

// A previewed picture, scaled down to fit with its aspect kept; animations play.
class PicturePreview : public QWidget {
  Q_OBJECT
 public:
  explicit PicturePreview(QWidget* parent = nullptr);
  void Show(DecodedPicture picture);
  int FrameCount() const { return static_cast<int>(picture_.frames.size()); }
  QRect PictureRect() const;  // where the picture is drawn

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void NextFrame();

  DecodedPicture picture_;
  size_t frame_ = 0;
  QTimer timer_;
  QPixmap scaled_;  // the current frame at the drawn size
};

}  // namespace findlark
