#include "ui/icons.h"

#include <QImage>
#include <QPixmap>
#include <QtTest>

#include "search/categories.h"

using namespace findlark;

class IconsTest : public QObject {
  Q_OBJECT

 private slots:
  // The application icon and the thirteen category icons render at both sizes, each covering
  // a good part of its square (a missing or broken file covers none), and no two look alike.
  void everyIconRendersAndIsDistinct() {
    for (int size : {16, 32}) {
      std::vector<QImage> seen;
      for (int c = -1; c < kCategoryCount; ++c) {
        const QImage image = (c < 0 ? AppIcon() : CategoryIcon(c)).pixmap(size, size).toImage();
        QCOMPARE(image.size(), QSize(size, size));
        int painted = 0;
        for (int y = 0; y < size; ++y)
          for (int x = 0; x < size; ++x) painted += qAlpha(image.pixel(x, y)) > 0;
        QVERIFY2(painted > size * size / 4, qPrintable(QStringLiteral("icon %1").arg(c)));
        QVERIFY2(std::find(seen.begin(), seen.end(), image) == seen.end(),
                 qPrintable(QStringLiteral("icon %1 looks like another").arg(c)));
        seen.push_back(image);
      }
    }
    QVERIFY(CategoryIcon(-1).isNull() && CategoryIcon(kCategoryCount).isNull());
  }
};

QTEST_MAIN(IconsTest)
#include "icons_test.moc"
