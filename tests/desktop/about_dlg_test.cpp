#include "ui/about_dlg.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>
#include <string>
#include <vector>

using findlark::CAboutDlg;

namespace {

QLabel* LabelNamed(CAboutDlg& dlg, const char* name) {
  return dlg.findChild<QLabel*>(QLatin1String(name));
}

}  // namespace

class AboutDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void showsItsTexts() {
    CAboutDlg dlg(nullptr, [](const std::string&) {});
    QCOMPARE(dlg.windowTitle(), QStringLiteral("About Findlark"));
    QCOMPARE(LabelNamed(dlg, "titleLabel")->text().section(QLatin1Char('\n'), 0, 0),
             QStringLiteral("Findlark Version 6.1"));
    QVERIFY(!LabelNamed(dlg, "titleLabel")->text().section(QLatin1Char('\n'), 1).isEmpty());
    QCOMPARE(
        LabelNamed(dlg, "visitLabel")->text(),
        QStringLiteral("For questions, suggestions and more such free software, please visit"));
    QCOMPARE(LabelNamed(dlg, "linkLabel")->text(), QStringLiteral(FINDLARK_HOME_PAGE));
    QVERIFY(!LabelNamed(dlg, "iconLabel")->pixmap().isNull());
    QPushButton* ok = dlg.findChild<QPushButton*>();
    QCOMPARE(ok->text(), QStringLiteral("OK"));
    QVERIFY(ok->isDefault());
  }

  void linkIsPlainBlueText() {
    CAboutDlg dlg(nullptr, [](const std::string&) {});
    QLabel* link = LabelNamed(dlg, "linkLabel");
    QCOMPARE(link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    QVERIFY(!link->font().underline());
    QCOMPARE(link->font(), LabelNamed(dlg, "visitLabel")->font());
    QCOMPARE(link->cursor().shape(), LabelNamed(dlg, "visitLabel")->cursor().shape());
  }

  void clickingTheLinkOpensItAndKeepsTheBoxOpen() {
    std::vector<std::string> opened;
    CAboutDlg dlg(nullptr, [&](const std::string& uri) { opened.push_back(uri); });
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QTest::mouseClick(LabelNamed(dlg, "linkLabel"), Qt::LeftButton);
    QTest::mouseClick(LabelNamed(dlg, "linkLabel"), Qt::LeftButton);
    const std::string expected = FINDLARK_HOME_PAGE "#findlark";
    QCOMPARE(opened, (std::vector<std::string>{expected, expected}));
    QVERIFY(dlg.isVisible());
  }

  void clickingOtherTextDoesNothing() {
    std::vector<std::string> opened;
    CAboutDlg dlg(nullptr, [&](const std::string& uri) { opened.push_back(uri); });
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    for (const char* name : {"titleLabel", "visitLabel", "iconLabel"}) {
      QTest::mouseClick(LabelNamed(dlg, name), Qt::LeftButton);
    }
    QTest::mouseClick(LabelNamed(dlg, "linkLabel"), Qt::RightButton);
    QVERIFY(opened.empty());
    QVERIFY(dlg.isVisible());
  }

  void keysCloseTheBox_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("result");
    QTest::newRow("Enter") << int(Qt::Key_Return) << int(QDialog::Accepted);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(QDialog::Accepted);
    QTest::newRow("Escape") << int(Qt::Key_Escape) << int(QDialog::Rejected);
  }
  void keysCloseTheBox() {
    QFETCH(int, key);
    QFETCH(int, result);
    CAboutDlg dlg(nullptr, [](const std::string&) {});
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    dlg.activateWindow();
    QWidget* target = dlg.focusWidget() ? dlg.focusWidget() : &dlg;
    QTest::keyClick(target, Qt::Key(key));
    QVERIFY(!dlg.isVisible());
    QCOMPARE(dlg.result(), result);
  }
};

QTEST_MAIN(AboutDlgTest)
#include "about_dlg_test.moc"
