#include "ui/about_dlg.h"

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "platform/launcher.h"
#include "search/pdf_text.h"
#include "ui/icons.h"

namespace findlark {
namespace {

// "6.1.0.1" is shown as "6.1".
QString ShortVersion() {
  const QStringList parts = QString::fromLatin1(FINDLARK_VERSION).split(QLatin1Char('.'));
  return parts.mid(0, 2).join(QLatin1Char('.'));
}

// Relative luminance and contrast ratio as the usual readability rules define them.
double Luminance(const QColor& c) {
  const auto channel = [](double v) {
    return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double Contrast(const QColor& a, const QColor& b) {
  const double la = Luminance(a), lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

}  // namespace

QColor LinkBlueOn(const QColor& background) {
  // Pure blue where it reads well (any light background); on a dark one, a lighter blue, raised
  // just as far as it takes to read as well as ordinary text does.
  constexpr double kReadable = 4.5;
  for (int mix = 0; mix <= 255; mix += 5) {
    const QColor blue(mix, mix, 255);
    if (Contrast(blue, background) >= kReadable) return blue;
  }
  return QColor(0, 0, 255);  // the background is blue-white itself: keep the plain blue
}

void ClickableLabel::mousePressEvent(QMouseEvent* event) {
  pressed_ = event->button() == Qt::LeftButton;
  QLabel::mousePressEvent(event);
}

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
  const bool click =
      pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
  pressed_ = false;
  QLabel::mouseReleaseEvent(event);
  if (click) emit clicked();
}

QString CAboutDlg::HomePage() {
  return QString::fromUtf8(FINDLARK_HOME_PAGE);
}

QString CAboutDlg::HomePageLink() {
  const QString page = HomePage();
  // An address that already carries an anchor is opened as it is.
  return page.contains(QLatin1Char('#')) ? page : page + QStringLiteral("#findlark");
}

CAboutDlg::CAboutDlg(QWidget* parent, UriOpener opener)
    : QDialog(parent), m_opener(std::move(opener)) {
  if (!m_opener) {
    m_opener = [](const std::string& uri) { OpenUri(uri); };  // failures go unreported
  }
  setWindowTitle(QStringLiteral("About Findlark"));
  // A fixed box with a caption, a close button and the window menu; no minimise or maximise.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("iconLabel"));
  icon->setPixmap(AppIcon().pixmap(QSize(32, 32), devicePixelRatioF()));
  icon->setAlignment(Qt::AlignTop | Qt::AlignLeft);

  auto* title = new QLabel(
      QStringLiteral("Findlark Version %1\nWritten by the Findlark developers").arg(ShortVersion()),
      this);
  title->setObjectName(QStringLiteral("titleLabel"));

  auto* visit = new QLabel(
      QStringLiteral("For questions, suggestions and more such free software, please visit"), this);
  visit->setObjectName(QStringLiteral("visitLabel"));

  m_linkStatic = new ClickableLabel(HomePage(), this);
  m_linkStatic->setObjectName(QStringLiteral("linkLabel"));
  m_linkStatic->setTextFormat(Qt::PlainText);
  UpdateLinkColour();
  connect(m_linkStatic, &ClickableLabel::clicked, this, &CAboutDlg::OnLinkClicked);

  // Which protections the PDF extractor's sandbox has on this system, or why there is none.
  auto* pdf = new QLabel(QString::fromStdString(PdfSupportText(PdfExtractor())), this);
  pdf->setObjectName(QStringLiteral("pdfLabel"));
  pdf->setWordWrap(true);

  m_okButton = new QPushButton(QStringLiteral("OK"), this);
  m_okButton->setDefault(true);
  connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);

  auto* top = new QHBoxLayout;
  top->addWidget(icon);
  top->addSpacing(8);
  top->addWidget(title, 1);

  auto* button = new QHBoxLayout;
  button->addStretch();
  button->addWidget(m_okButton);
  button->addStretch();

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addSpacing(6);
  layout->addWidget(visit);
  layout->addWidget(m_linkStatic);
  layout->addSpacing(6);
  layout->addWidget(pdf);
  layout->addSpacing(6);
  layout->addLayout(button);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  m_okButton->setFocus();
}

CAboutDlg::~CAboutDlg() = default;

void CAboutDlg::UpdateLinkColour() {
  QPalette blue = m_linkStatic->palette();
  blue.setColor(QPalette::WindowText, LinkBlueOn(palette().color(QPalette::Window)));
  m_linkStatic->setPalette(blue);
}

void CAboutDlg::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::PaletteChange && m_linkStatic) UpdateLinkColour();
}

void CAboutDlg::OnLinkClicked() {
  m_opener(HomePageLink().toStdString());
}

}  // namespace findlark
