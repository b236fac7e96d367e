#include "ui/preview_pane.h"

#include <sys/stat.h>

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFocusEvent>
#include <QImageReader>
#include <QLabel>
#include <QLibrary>
#include <QOpenGLContext>
#include <QPainter>
#include <QPalette>
#include <QShortcut>
#include <QStackedLayout>

#include "platform/launcher.h"
#include "results/display_text.h"
#include "ui/preview_views.h"

// Exported by QtGui for the browser engine, which looks for the context to share with there.
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);

namespace findlark {

QUrl FileUrlOf(const std::string& path) {
  // Percent-encoding the raw bytes keeps names that are not valid UTF-8 intact.
  const QByteArray raw(path.data(), static_cast<qsizetype>(path.size()));
  return QUrl::fromEncoded("file://" + raw.toPercentEncoding("/"), QUrl::StrictMode);
}

bool IsLinkForBrowser(const QUrl& url) {
  if (!url.isValid()) return false;
  const QString scheme = url.scheme().toLower();
  if (scheme == QLatin1String("mailto")) return !url.path().isEmpty();
  return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
         !url.host().isEmpty();
}

QString InstalledPreviewLibrary() {
  // Found from where the program itself is, so an installed tree can move as a whole.
  return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                         QStringLiteral("/" FINDLARK_PREVIEW_RELATIVE_PATH));
}

namespace {

// The browser engine expects a GL context to share, made before the application was; the
// window never made one, so that starting costs no GL. An empty context that was never created
// tells the engine there is no GL to share: it draws in software, and loads no GL driver.
void OfferNoGlToShare() {
  if (QOpenGLContext::globalShareContext()) return;
  qt_gl_set_global_share_context(new QOpenGLContext);  // lives as long as the engine: for good
}

// Drawn over the pane's edge while the pane or the page in it has the keyboard focus. It
// takes no input and draws nothing inside, so the page stays as it is.
class FocusFrame : public QWidget {
 public:
  explicit FocusFrame(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    hide();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    QPen pen(palette().color(QPalette::Highlight));
    pen.setWidth(2);
    pen.setJoinStyle(Qt::MiterJoin);
    painter.setPen(pen);
    painter.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
  }
};

}  // namespace

PreviewPane::PreviewPane(QWidget* parent, QString engineLibrary)
    : QWidget(parent), engineLibrary_(std::move(engineLibrary)) {
  if (engineLibrary_.isEmpty()) engineLibrary_ = InstalledPreviewLibrary();
  onLink_ = [](const QUrl& url) {
    if (IsLinkForBrowser(url)) OpenUri(url.toEncoded().toStdString());
  };

  stack_ = new QStackedLayout(this);
  stack_->setContentsMargins(0, 0, 0, 0);
  blank_ = new QWidget(this);
  blank_->setObjectName(QStringLiteral("blankPage"));
  // The empty page follows the palette, so it is not a white glare on a dark desktop.
  blank_->setBackgroundRole(QPalette::Base);
  blank_->setAutoFillBackground(true);
  stack_->addWidget(blank_);
  text_ = new TextPreview(this);
  stack_->addWidget(text_);
  picture_ = new PicturePreview(this);
  stack_->addWidget(picture_);
  note_ = new QLabel(this);
  note_->setObjectName(QStringLiteral("previewNote"));
  note_->setAlignment(Qt::AlignCenter);
  note_->setWordWrap(true);
  note_->setTextFormat(Qt::PlainText);
  note_->setMargin(8);
  note_->setBackgroundRole(QPalette::Base);
  note_->setAutoFillBackground(true);
  note_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  note_->setFocusPolicy(Qt::StrongFocus);
  stack_->addWidget(note_);
  setAccessibleName(QStringLiteral("Preview"));
  // A format whose header gives no size must not take more than a checked picture may.
  QImageReader::setAllocationLimit(static_cast<int>(kPictureMaxFrameBytes >> 20));

  // Ctrl+plus as the keyboard gives it (with or without Shift), Ctrl+minus, and Ctrl+0.
  const std::pair<QKeySequence, int> zooms[] = {
      {QKeySequence::ZoomIn, 1},
      {QKeySequence(Qt::CTRL | Qt::Key_Equal), 1},
      {QKeySequence::ZoomOut, -1},
      {QKeySequence(Qt::CTRL | Qt::Key_0), 0},
      {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Plus), 1}};
  for (const auto& [keys, steps] : zooms) {
    auto* shortcut = new QShortcut(keys, this);
    shortcut->setContext(Qt::WidgetWithChildrenShortcut);
    connect(shortcut, &QShortcut::activated, this, [this, steps = steps] { Zoom(steps); });
  }

  // Reachable by Tab and by a click, like any control; the page takes the focus once shown.
  setFocusPolicy(Qt::StrongFocus);
  focusFrame_ = new FocusFrame(this);
  focusWatch_ = connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
    ShowFocus(now && (now == this || isAncestorOf(now)));
  });
}

// Closing the widget moves the focus, and by then the pane is only a QWidget: stop watching
// first.
PreviewPane::~PreviewPane() {
  disconnect(focusWatch_);
}

QWidget* PreviewPane::Content() const {
  return stack_->currentWidget();
}

void PreviewPane::Zoom(int steps) {
  QWidget* content = Content();
  if (content == text_) text_->Zoom(steps);
  if (engine_ && content == engine_->View()) engine_->Zoom(steps);
}

void PreviewPane::ShowWidget(QWidget* widget) {
  const bool hadFocus = hasFocus() || isAncestorOf(QApplication::focusWidget());
  stack_->setCurrentWidget(widget);
  focusFrame_->raise();
  if (hadFocus) widget->setFocus();
  emit shown();
}

void PreviewPane::ShowNote(const QString& text) {
  note_->setText(text);
  note_->setAccessibleDescription(text);
  ShowWidget(note_);
}

void PreviewPane::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  focusFrame_->setGeometry(rect());
}

void PreviewPane::ShowFocus(bool shown) {
  if (focusFrame_->isVisible() == shown) return;
  focusFrame_->setGeometry(rect());
  focusFrame_->setVisible(shown);
  if (shown) focusFrame_->raise();
}

void PreviewPane::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  // The pane keeps its own place in the Tab order (a focus proxy would drop it from there), and
  // passes the focus on to what it shows.
  QWidget* content = Content();
  if (content != blank_) content->setFocus(event->reason());
}

bool PreviewPane::focusNextPrevChild(bool next) {
  // The engine's widgets sit wherever it made them in the window's focus chain; Tab out of the
  // page goes where Tab out of the pane would.
  QWidget* focus = QApplication::focusWidget();
  if (!focus || !isAncestorOf(focus)) return QWidget::focusNextPrevChild(next);
  QWidget* w = this;
  do {
    w = next ? w->nextInFocusChain() : w->previousInFocusChain();
  } while (w != this && (isAncestorOf(w) || !(w->focusPolicy() & Qt::TabFocus) || !w->isVisible() ||
                         !w->isEnabled() || w->window() != window()));
  if (w == this) return false;
  w->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
  return true;
}

bool PreviewPane::StartBrowser() {
  if (engine_) return true;
  if (engineMissing_) return false;
  OfferNoGlToShare();
  // Never unloaded: the engine keeps threads and state for the life of the process.
  QLibrary library(engineLibrary_);
  const auto create =
      reinterpret_cast<CreatePreviewEngineFn>(library.resolve(kCreatePreviewEngineSymbol));
  if (!create) {
    // The window works on without a preview; the pane stays blank.
    qWarning("findlark: no preview: %s", qUtf8Printable(library.errorString()));
    engineMissing_ = true;
    return false;
  }
  engine_.reset(create(this, [this](const QUrl& url) {
    if (onLink_) onLink_(url);
  }));
  QWidget* view = engine_->View();
  view->setAccessibleName(QStringLiteral("Preview"));
  stack_->addWidget(view);
  focusFrame_->raise();
  emit browserStarted();
  return true;
}

void PreviewPane::Navigate(const std::string& path, PreviewKind kind) {
  switch (kind) {
    case PreviewKind::kNone:
      return;
    case PreviewKind::kText:
      loader_.Run([path] { return ReadPreviewText(path); },
                  [this](PreviewText text) {
                    if (!text.note.isEmpty()) return ShowNote(text.note);
                    text_->Show(text);
                    ShowWidget(text_);
                  });
      return;
    case PreviewKind::kPicture:
      loader_.Run([path] { return DecodePicture(path); },
                  [this](DecodedPicture picture) {
                    if (!picture.note.isEmpty()) return ShowNote(picture.note);
                    picture_->Show(std::move(picture));
                    ShowWidget(picture_);
                  });
      return;
    case PreviewKind::kPage:
      // Only the size is read here; the page itself is the engine's to read. -1: not readable.
      loader_.Run(
          [path] {
            struct stat st {};
            return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? qint64{st.st_size}
                                                                         : qint64{-1};
          },
          [this, path](qint64 size) {
            if (size < 0) return ShowNote(QStringLiteral("This file cannot be read."));
            if (size > kPagePreviewBytes) {
              return ShowNote(QStringLiteral("This page is too big to preview (%1). Pages up to "
                                             "%2 are shown.")
                                  .arg(QString::fromStdString(FormatSize(size)),
                                       QString::fromStdString(FormatSize(kPagePreviewBytes))));
            }
            if (!StartBrowser()) return;
            engine_->Load(FileUrlOf(path));
            ShowWidget(engine_->View());
          });
      return;
  }
}

}  // namespace findlark
