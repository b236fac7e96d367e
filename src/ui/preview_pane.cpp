#include "ui/preview_pane.h"

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFocusEvent>
#include <QLibrary>
#include <QOpenGLContext>
#include <QPainter>
#include <QPalette>
#include <QStackedLayout>

#include "platform/launcher.h"

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

  // Reachable by Tab and by a click, like any control; the page takes the focus once shown.
  setFocusPolicy(Qt::StrongFocus);
  focusFrame_ = new FocusFrame(this);
  connect(qApp, &QApplication::focusChanged, this,
          [this](QWidget*, QWidget* now) { ShowFocus(now && (now == this || isAncestorOf(now))); });
}

PreviewPane::~PreviewPane() = default;

QWidget* PreviewPane::Content() const {
  return engine_ ? engine_->View() : blank_;
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
  // passes the focus on to the page.
  if (engine_) engine_->View()->setFocus(event->reason());
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
  stack_->addWidget(view);
  stack_->setCurrentWidget(view);
  focusFrame_->raise();
  emit browserStarted();
  return true;
}

void PreviewPane::Navigate(const std::string& path) {
  if (StartBrowser()) engine_->Load(FileUrlOf(path));
}

}  // namespace findlark
