#pragma once

#include <QProxyStyle>

namespace findlark {

// Scroll bars painted in plain opaque fills, on the geometry the desktop style gives them.
// The stock styles paint a tall scroll bar's gradients and lines through Qt's helper threads,
// and the window thread waits for each: on a busy machine, for as long as those threads wait
// for a core. The results view's scroll bars change with every tree update of a search.
class ScrollBarStyle : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;
  static QStyle* Shared();  // on the application's style; owned by the application
  void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                          QPainter* painter, const QWidget* widget = nullptr) const override;
};

}  // namespace findlark
