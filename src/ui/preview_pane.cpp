#include "ui/preview_pane.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QOpenGLWidget>
#include <QPalette>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QStackedLayout>
#include <QUrl>
#include <QWebEngineView>

namespace findlark {

QUrl FileUrlOf(const std::string& path) {
  // Percent-encoding the raw bytes keeps names that are not valid UTF-8 intact.
  const QByteArray raw(path.data(), static_cast<qsizetype>(path.size()));
  return QUrl::fromEncoded("file://" + raw.toPercentEncoding("/"), QUrl::StrictMode);
}

namespace {

bool WindowCanComposeWithGl() {
  // Platforms that draw into memory have no window on screen to keep, and whatever GL they
  // have is not one the widgets can compose with.
  const QString platform = QGuiApplication::platformName();
  if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
    return false;
  }
  // With shared contexts asked for, Qt has already tried to make one: no second try needed.
  if (const QOpenGLContext* shared = QOpenGLContext::globalShareContext()) {
    return shared->isValid();
  }
  QOpenGLContext probe;
  return probe.create();
}

}  // namespace

PreviewPane::PreviewPane(QWidget* parent) : QWidget(parent) {
  stack_ = new QStackedLayout(this);
  stack_->setContentsMargins(0, 0, 0, 0);
  auto* blank = new QWidget(this);
  blank->setAutoFillBackground(true);
  QPalette palette = blank->palette();
  palette.setColor(QPalette::Window, Qt::white);
  blank->setPalette(palette);
  stack_->addWidget(blank);

  // The browser view draws through GL. Arriving in a window made for plain drawing, it makes
  // Qt destroy and remake the whole top-level window, which vanishes and comes back
  // elsewhere. A hidden GL widget makes the window GL-capable from its creation; being
  // hidden, it never starts any GL of its own.
  // Without working GL that same switch would crash at the first paint after it, so there
  // the browser draws in software instead and the window never changes.
  if (WindowCanComposeWithGl()) {
    auto* gl_anchor = new QOpenGLWidget(this);
    gl_anchor->setObjectName(QStringLiteral("glAnchor"));
    gl_anchor->hide();
  } else {
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
  }
}

void PreviewPane::Navigate(const std::string& path) {
  if (!view_) {
    view_ = new QWebEngineView(this);
    stack_->addWidget(view_);
    stack_->setCurrentWidget(view_);
  }
  view_->load(FileUrlOf(path));
}

}  // namespace findlark
