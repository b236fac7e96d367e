#include "ui/preview_views.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QStringDecoder>
#include <QTextCursor>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string_view>

#include "persist/text_escape.h"
#include "results/display_text.h"
#include "results/hit_info.h"

namespace findlark {

namespace {

// Opens a regular file for reading; -1 with errno set for anything else, so a FIFO or a
// device is never opened for real.
int OpenRegular(const std::string& path, qint64* size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    errno = error;
    return -1;
  }
  *size = st.st_size;
  return fd;
}

QString UnreadableNote(int error) {
  if (error == EISDIR) return QStringLiteral("This is a folder.");
  if (error == ENOENT) return QStringLiteral("This file is no longer there.");
  return QStringLiteral("This file cannot be read.");
}

bool IsUtf8(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t length = Utf8SequenceLength(bytes);
    if (length == 0) return false;
    bytes.remove_prefix(length);
  }
  return true;
}

QString Decode(QStringConverter::Encoding encoding, QByteArrayView bytes) {
  QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
  return decoder.decode(bytes);
}

}  // namespace

QString DecodePreviewText(const QByteArray& bytes) {
  const auto starts = [&](std::string_view bom) { return bytes.startsWith(bom.data()); };
  if (starts("\xEF\xBB\xBF"))
    return Decode(QStringConverter::Utf8, QByteArrayView(bytes).sliced(3));
  if (starts("\xFF\xFE")) return Decode(QStringConverter::Utf16LE, QByteArrayView(bytes).sliced(2));
  if (starts("\xFE\xFF")) return Decode(QStringConverter::Utf16BE, QByteArrayView(bytes).sliced(2));
  if (IsUtf8(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size()))))
    return QString::fromUtf8(bytes);
  return QString::fromLatin1(bytes);
}

PreviewText ReadPreviewText(const std::string& path, qint64 limit) {
  PreviewText out;
  const int fd = OpenRegular(path, &out.total);
  if (fd < 0) {
    out.note = UnreadableNote(errno);
    return out;
  }
  // A few bytes past the limit, so a cut can be moved back to where a UTF-8 sequence starts.
  const qint64 want = std::min(out.total, limit + 3);
  QByteArray bytes(static_cast<qsizetype>(want), Qt::Uninitialized);
  qint64 got = 0;
  while (got < want) {
    const ssize_t n = ::read(fd, bytes.data() + got, static_cast<size_t>(want - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  ::close(fd);
  bytes.truncate(static_cast<qsizetype>(got));
  if (got > limit) {
    const bool utf16 = bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF");
    qsizetype keep = static_cast<qsizetype>(limit);
    if (!utf16) {
      const std::string_view view(bytes.constData(), static_cast<size_t>(bytes.size()));
      keep = static_cast<qsizetype>(CutUtf8(view, static_cast<size_t>(limit)).size());
    }
    bytes.truncate(keep);
  }
  out.shown = bytes.size();
  out.text = DecodePreviewText(bytes);
  return out;
}

QString CutNotice(qint64 shown, qint64 total) {
  return QStringLiteral("Showing the first %1 of %2")
      .arg(QString::fromStdString(FormatSize(shown)), QString::fromStdString(FormatSize(total)));
}

DecodedPicture DecodePicture(const std::string& path) {
  DecodedPicture out;
  qint64 fileSize = 0;
  const int fd = OpenRegular(path, &fileSize);
  if (fd < 0) {
    out.note = UnreadableNote(errno);
    return out;
  }
  QFile file;
  if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
    ::close(fd);
    out.note = UnreadableNote(EIO);
    return out;
  }
  QImageReader reader(&file);
  reader.setAutoTransform(true);
  out.size = reader.size();
  const QString broken = QStringLiteral("This picture cannot be shown.");
  if (!reader.canRead()) {
    out.note = broken;
    return out;
  }
  if (out.size.isValid()) {
    const qint64 pixels = qint64{out.size.width()} * out.size.height();
    if (pixels > kPictureMaxPixels) {
      // JPEG alone decodes straight to a smaller size, at a fraction of the cost; other
      // formats that offer a scaled size decode the whole picture first.
      if (reader.format() != "jpeg") {
        out.note = QStringLiteral("This picture is too big to preview (%1 \u00D7 %2 pixels).")
                       .arg(out.size.width())
                       .arg(out.size.height());
        return out;
      }
      const double scale = std::sqrt(double(kPictureMaxPixels) / double(pixels));
      reader.setScaledSize(QSize(std::max(1, int(out.size.width() * scale)),
                                 std::max(1, int(out.size.height() * scale))));
    }
  }
  qint64 bytes = 0;
  while (static_cast<int>(out.frames.size()) < kPictureMaxFrames) {
    QImage frame = reader.read();
    if (frame.isNull()) break;
    bytes += frame.sizeInBytes();
    if (bytes > kPictureMaxFrameBytes && !out.frames.empty()) break;
    out.delays.push_back(std::max(20, reader.nextImageDelay()));
    out.frames.push_back(std::move(frame));
    if (!reader.supportsAnimation() || !reader.canRead()) break;
  }
  if (out.frames.empty()) out.note = broken;
  return out;
}

TextPreview::TextPreview(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  notice_ = new QLabel(this);
  notice_->setObjectName(QStringLiteral("cutNotice"));
  notice_->setContentsMargins(4, 2, 4, 2);
  notice_->setTextFormat(Qt::PlainText);
  notice_->hide();
  layout->addWidget(notice_);
  editor_ = new QPlainTextEdit(this);
  editor_->setObjectName(QStringLiteral("previewText"));
  editor_->setReadOnly(true);
  // A caret to move with the keys, so the text can be selected and read line by line.
  editor_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  editor_->setUndoRedoEnabled(false);
  editor_->setTabChangesFocus(true);
  editor_->setAccessibleName(QStringLiteral("Preview"));
  layout->addWidget(editor_);
  setFocusProxy(editor_);
  appender_.setSingleShot(true);
  connect(&appender_, &QTimer::timeout, this, &TextPreview::AppendPiece);
}

QStringList SplitForShowing(const QString& text) {
  QStringList pieces;
  const qsizetype size = text.size();
  qsizetype start = 0;
  bool more = true;  // a piece is due at `start`, even an empty one
  while (more) {
    // Whole lines up to the piece's size; a line too long to lay out is cut where it must be.
    qsizetype end = start;
    while (end < size) {
      qsizetype lineEnd = text.indexOf(QLatin1Char('\n'), end);
      if (lineEnd < 0) lineEnd = size;
      if (lineEnd - end > kTextLineChars) {
        if (end == start) end = start + kTextLineChars;
        break;
      }
      if (lineEnd - start > kTextPieceChars && end > start) break;
      end = lineEnd;
      if (end < size) ++end;  // past the line feed
      if (end - start >= kTextPieceChars) break;
    }
    // The line feed that ends a piece joins it to the next one.
    const bool endsInLineFeed = end > start && text.at(end - 1) == QLatin1Char('\n');
    pieces.append(text.mid(start, end - start - (endsInLineFeed ? 1 : 0)));
    more = end < size || endsInLineFeed;
    start = end;
  }
  return pieces;
}

void TextPreview::Show(const PreviewText& text) {
  notice_->setVisible(text.shown < text.total);
  if (text.shown < text.total) notice_->setText(CutNotice(text.shown, text.total));
  // In pieces, one per turn of the event loop, so the window answers while a long text goes in.
  pending_ = SplitForShowing(text.text);
  next_ = 1;
  editor_->setPlainText(pending_.first());
  if (next_ < pending_.size()) appender_.start(0);
}

void TextPreview::AppendPiece() {
  if (next_ >= pending_.size()) return;
  QTextCursor end(editor_->document());
  end.movePosition(QTextCursor::End);
  end.insertText(QLatin1Char('\n') + pending_[next_]);
  pending_[next_++].clear();
  if (next_ < pending_.size()) {
    appender_.start(0);
  } else {
    pending_.clear();
    emit loaded();
  }
}

void TextPreview::Zoom(int steps) {
  if (steps == 0) {
    editor_->zoomOut(zoom_);
    zoom_ = 0;
    return;
  }
  const int before = editor_->font().pointSize();
  editor_->zoomIn(steps);
  if (editor_->font().pointSize() != before) zoom_ += steps;
}

PicturePreview::PicturePreview(QWidget* parent) : QWidget(parent) {
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
  setAccessibleName(QStringLiteral("Preview"));
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, &PicturePreview::NextFrame);
}

void PicturePreview::Show(DecodedPicture picture) {
  timer_.stop();
  picture_ = std::move(picture);
  frame_ = 0;
  scaled_ = QPixmap();
  const QSize size = picture_.size.isValid()   ? picture_.size
                     : picture_.frames.empty() ? QSize()
                                               : picture_.frames.front().size();
  setAccessibleDescription(
      QStringLiteral("Picture, %1 by %2 pixels").arg(size.width()).arg(size.height()));
  if (picture_.frames.size() > 1) timer_.start(picture_.delays.front());
  update();
}

void PicturePreview::NextFrame() {
  if (picture_.frames.size() < 2) return;
  frame_ = (frame_ + 1) % picture_.frames.size();
  scaled_ = QPixmap();
  update();
  timer_.start(picture_.delays[frame_]);
}

QRect PicturePreview::PictureRect() const {
  if (picture_.frames.empty()) return {};
  const QSize natural = picture_.frames[frame_].size();
  // Down to fit, never up: a small picture stays sharp at its own size.
  const QSize drawn = natural.width() <= width() && natural.height() <= height()
                          ? natural
                          : natural.scaled(size(), Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
  return QRect(QPoint((width() - drawn.width()) / 2, (height() - drawn.height()) / 2), drawn);
}

void PicturePreview::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  scaled_ = QPixmap();
}

void PicturePreview::paintEvent(QPaintEvent*) {
  if (picture_.frames.empty()) return;
  const QRect target = PictureRect();
  if (scaled_.isNull() || scaled_.size() != target.size()) {
    scaled_ = QPixmap::fromImage(picture_.frames[frame_].scaled(
        target.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  }
  QPainter painter(this);
  painter.drawPixmap(target.topLeft(), scaled_);
}

}  // namespace findlark
