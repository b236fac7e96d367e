#include "ui/icons.h"

#include <QImage>
#include <QPixmap>
#include <QtTest>

#include "search/categories.h"

using namespace findlark;

namespace {

// Number of pixels that are not fully transparent.
int PaintedPixels(const QIcon& icon, int size) {
  const QImage image = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
  if (image.size() != QSize(size, size)) return -1;
  int painted = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) painted += qAlpha(image.pixel(x, y)) > 0;
  }
  return painted;
}

}  // namespace

class IconsTest : public QObject {
  Q_OBJECT

 private slots:
  void everyIconRenders_data() {
    QTest::addColumn<int>("category");  // -1: the application icon
    QTest::addColumn<int>("size");
    for (int size : {16, 32}) {
      QTest::addRow("app %d", size) << -1 << size;
      for (int c = 0; c < kCategoryCount; ++c) {
        QTest::addRow("%s %d", g_categoryNames[c], size) << c << size;
      }
    }
  }
  void everyIconRenders() {
    QFETCH(int, category);
    QFETCH(int, size);
    const QIcon icon = category < 0 ? AppIcon() : CategoryIcon(category);
    QVERIFY(!icon.isNull());
    // Each design covers a good part of its square; a missing or broken file covers none.
    QVERIFY2(PaintedPixels(icon, size) > size * size / 4,
             qPrintable(QStringLiteral("painted %1").arg(PaintedPixels(icon, size))));
  }

  void iconsAreDistinct() {
    std::vector<QImage> seen;
    for (int c = 0; c < kCategoryCount; ++c) {
      const QImage image = CategoryIcon(c).pixmap(16, 16).toImage();
      for (size_t i = 0; i < seen.size(); ++i) {
        QVERIFY2(image != seen[i], qPrintable(QStringLiteral("%1 looks like %2").arg(c).arg(i)));
      }
      seen.push_back(image);
    }
  }

  void outOfRangeGivesNoIcon() {
    QVERIFY(CategoryIcon(-1).isNull());
    QVERIFY(CategoryIcon(kCategoryCount).isNull());
    QVERIFY(CategoryIconPath(kCategoryCount).isEmpty());
  }
};

QTEST_MAIN(IconsTest)
#include "icons_test.moc"
