#include "ui/about_dlg.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>
#include <string>
#include <vector>

using findlark::CAboutDlg;

class AboutDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void textsAndLink() {
    std::vector<std::string> opened;
    CAboutDlg dlg(nullptr, [&](const std::string& uri) { opened.push_back(uri); });
    const auto label = [&](const char* name) { return dlg.findChild<QLabel*>(name); };
    QCOMPARE(QStringList({dlg.windowTitle(), label("titleLabel")->text().section('\n', 0, 0),
                          label("visitLabel")->text(), label("linkLabel")->text(),
                          dlg.findChild<QPushButton*>()->text()}),
             QStringList({"About Findlark", "Findlark Version 6.1",
                          "For questions, suggestions and more such free software, please visit",
                          FINDLARK_HOME_PAGE, "OK"}));
    QVERIFY(!label("titleLabel")->text().section('\n', 1).isEmpty());
    QVERIFY(!label("iconLabel")->pixmap().isNull());
    // The link is plain blue text in the same font and cursor as the line above it.
    QCOMPARE(label("linkLabel")->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    QCOMPARE(label("linkLabel")->font(), label("visitLabel")->font());
    QCOMPARE(label("linkLabel")->cursor().shape(), label("visitLabel")->cursor().shape());

    // Left clicks on the link open it, each time, and the box stays open; nothing else does.
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    for (const char* name : {"linkLabel", "linkLabel", "titleLabel", "visitLabel", "iconLabel"})
      QTest::mouseClick(label(name), Qt::LeftButton);
    QTest::mouseClick(label("linkLabel"), Qt::RightButton);
    const std::string link = FINDLARK_HOME_PAGE "#findlark";
    QCOMPARE(opened, (std::vector<std::string>{link, link}));
    QVERIFY(dlg.isVisible());
  }

  void linkReadableOnAnyBackground() {
    // Light backgrounds keep the pure blue; dark ones get a blue that still reads well.
    for (const QColor& background :
         {QColor(0xef, 0xef, 0xef), QColor(Qt::white), QColor(0xd4, 0xd0, 0xc8),
          QColor(0x35, 0x35, 0x35), QColor(0x1e, 0x1e, 0x1e), QColor(Qt::black)}) {
      QPalette palette = QApplication::palette();
      palette.setColor(QPalette::Window, background);
      CAboutDlg dlg(nullptr, [](const std::string&) {});
      dlg.setPalette(palette);
      const QColor link =
          dlg.findChild<QLabel*>("linkLabel")->palette().color(QPalette::WindowText);
      // Readable: at least the contrast of mid-grey text on that background.
      QVERIFY2(background.lightness() > 128
                   ? link == QColor(0, 0, 255)
                   : link.blue() == 255 && link.red() == link.green() && link.red() < 255 &&
                         link.lightnessF() - background.lightnessF() > 0.4,
               qPrintable(link.name()));
    }
  }

  void keysCloseTheBox() {
    const std::pair<Qt::Key, int> keys[] = {{Qt::Key_Return, QDialog::Accepted},
                                            {Qt::Key_Enter, QDialog::Accepted},
                                            {Qt::Key_Escape, QDialog::Rejected}};
    for (const auto& [key, result] : keys) {
      CAboutDlg dlg(nullptr, [](const std::string&) {});
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      dlg.activateWindow();
      QTest::keyClick(dlg.focusWidget() ? dlg.focusWidget() : &dlg, key);
      QVERIFY(!dlg.isVisible());
      QCOMPARE(dlg.result(), result);
    }
  }
};

QTEST_MAIN(AboutDlgTest)
#include "about_dlg_test.moc"
