#include "ui/scroll_bar_style.h"

#include <QApplication>
#include <QPainter>
#include <QPointer>
#include <QStyleFactory>
#include <QStyleOptionSlider>

namespace findlark {

namespace {

// `share` of the way from `from` to `to`, opaque: a fill with any transparency is blended, and
// blending goes through the helper threads again.
QColor Mix(const QColor& from, const QColor& to, double share) {
  const auto channel = [share](int a, int b) { return static_cast<int>(a + (b - a) * share); };
  return QColor(channel(from.red(), to.red()), channel(from.green(), to.green()),
                channel(from.blue(), to.blue()));
}

}  // namespace

QStyle* ScrollBarStyle::Shared() {
  // Lives as long as the application, so no scroll bar ever outlives its style.
  static QPointer<ScrollBarStyle> shared;
  if (!shared) {
    shared = new ScrollBarStyle(QStyleFactory::create(QApplication::style()->name()));
    shared->setParent(qApp);
  }
  return shared;
}

void ScrollBarStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                        QPainter* painter, const QWidget* widget) const {
  const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
  if (control != CC_ScrollBar || bar == nullptr) {
    QProxyStyle::drawComplexControl(control, option, painter, widget);
    return;
  }
  const QPalette& palette = bar->palette;
  QColor groove = palette.color(QPalette::Window);
  groove.setAlpha(255);
  const QColor text = palette.color(QPalette::WindowText);
  painter->fillRect(bar->rect, groove);

  const bool horizontal = bar->orientation == Qt::Horizontal;
  const bool sunken = bar->state & State_Sunken;
  for (const SubControl part : {SC_ScrollBarSubLine, SC_ScrollBarAddLine}) {
    if (!(bar->subControls & part)) continue;
    const QRect button = proxy()->subControlRect(control, bar, part, widget);
    if (button.isEmpty()) continue;
    if (sunken && (bar->activeSubControls & part))
      painter->fillRect(button, Mix(groove, text, 0.2));
    QStyleOption arrow = *bar;
    arrow.rect = button;
    const bool back = part == SC_ScrollBarSubLine;
    const PrimitiveElement element = horizontal
                                         ? (back ? PE_IndicatorArrowLeft : PE_IndicatorArrowRight)
                                         : (back ? PE_IndicatorArrowUp : PE_IndicatorArrowDown);
    proxy()->drawPrimitive(element, &arrow, painter, widget);
  }

  if (!(bar->subControls & SC_ScrollBarSlider) || bar->minimum == bar->maximum) return;
  const QRect handle = proxy()->subControlRect(control, bar, SC_ScrollBarSlider, widget);
  if (handle.isEmpty()) return;
  // Nearly half the text colour: three to one against the groove or better, light or dark.
  const bool held = sunken && (bar->activeSubControls & SC_ScrollBarSlider);
  const double share = !(bar->state & State_Enabled) ? 0.2 : held ? 0.6 : 0.45;
  painter->fillRect(horizontal ? handle.adjusted(0, 2, 0, -2) : handle.adjusted(2, 0, -2, 0),
                    Mix(groove, text, share));
}

}  // namespace findlark
