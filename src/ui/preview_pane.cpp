#include "ui/preview_pane.h"

#include <QByteArray>
#include <QPalette>
#include <QStackedLayout>
#include <QUrl>
#include <QWebEngineView>

namespace findlark {

QUrl FileUrlOf(const std::string& path) {
  // Percent-encoding the raw bytes keeps names that are not valid UTF-8 intact.
  const QByteArray raw(path.data(), static_cast<qsizetype>(path.size()));
  return QUrl::fromEncoded("file://" + raw.toPercentEncoding("/"), QUrl::StrictMode);
}

PreviewPane::PreviewPane(QWidget* parent) : QWidget(parent) {
  stack_ = new QStackedLayout(this);
  stack_->setContentsMargins(0, 0, 0, 0);
  auto* blank = new QWidget(this);
  blank->setAutoFillBackground(true);
  QPalette palette = blank->palette();
  palette.setColor(QPalette::Window, Qt::white);
  blank->setPalette(palette);
  stack_->addWidget(blank);
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
