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
    QCOMPARE(dlg.windowTitle(), QStringLiteral("About Findlark"));
    QCOMPARE(label("titleLabel")->text().section('\n', 0, 0), "Findlark Version 6.1");
    QVERIFY(!label("titleLabel")->text().section('\n', 1).isEmpty());
    QCOMPARE(label("visitLabel")->text(),
             "For questions, suggestions and more such free software, please visit");
    QCOMPARE(label("linkLabel")->text(), FINDLARK_HOME_PAGE);
    QVERIFY(!label("iconLabel")->pixmap().isNull());
    QCOMPARE(dlg.findChild<QPushButton*>()->text(), QStringLiteral("OK"));
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
    const std::pair<QColor, bool> backgrounds[] = {
        {QColor(0xef, 0xef, 0xef), true},  {Qt::white, true},
        {QColor(0xd4, 0xd0, 0xc8), true},  {QColor(0x35, 0x35, 0x35), false},
        {QColor(0x1e, 0x1e, 0x1e), false}, {Qt::black, false}};
    for (const auto& [background, light] : backgrounds) {
      QPalette palette = QApplication::palette();
      palette.setColor(QPalette::Window, background);
      CAboutDlg dlg(nullptr, [](const std::string&) {});
      dlg.setPalette(palette);
      const QColor link =
          dlg.findChild<QLabel*>("linkLabel")->palette().color(QPalette::WindowText);
      if (light) {
        QCOMPARE(link, QColor(0, 0, 255));
      } else {
        QVERIFY2(link.blue() == 255 && link.red() == link.green() && link.red() < 255,
                 qPrintable(link.name()));
        // Readable: at least the contrast of mid-grey text on that background.
        const auto lum = [](const QColor& c) { return c.lightnessF(); };
        QVERIFY2(lum(link) - lum(background) > 0.4, qPrintable(link.name()));
      }
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
