#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <cstdio>
#include <string>

#include "ui/preview_pane.h"

using namespace findlark;

namespace {

QString Write(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() ? path : QString();
}

// The hostile page, aimed at a listener on `port`, trying to read `secret`.
QString HostilePage(const QTemporaryDir& dir, quint16 port, const QString& secret) {
  QFile fixture(QStringLiteral(FINDLARK_TEST_DATA "/hostile.htm"));
  if (!fixture.open(QIODevice::ReadOnly)) return {};
  const QByteArray p = QByteArray::number(port);
  QByteArray page = fixture.readAll();
  page.replace("@ORIGIN@", "http://127.0.0.1:" + p)
      .replace("@WS_ORIGIN@", "ws://127.0.0.1:" + p)
      .replace("@PORT@", p)
      .replace("@SECRET@", QUrl::fromLocalFile(secret).toEncoded());
  return Write(dir.filePath(QStringLiteral("downloads page.htm")), page);
}

// Waits for the load the page has begun; its success.
bool Finishes(QWebEnginePage* page) {
  QSignalSpy finished(page, &QWebEnginePage::loadFinished);
  return finished.wait(60000) && finished.last().at(0).toBool();
}

// Previews `path` in `pane`; the view showing it once loaded, or null.
QWebEngineView* Previewed(PreviewPane& pane, const std::string& path) {
  pane.Navigate(path);
  auto* view = qobject_cast<QWebEngineView*>(pane.Content());
  return view && Finishes(view->page()) ? view : nullptr;
}

// The engine's defaults, but alerts that do not wait for a click.
class DefaultPage : public QWebEnginePage {
  void javaScriptAlert(const QUrl&, const QString&) override {}
};

}  // namespace

class PreviewTest : public QObject {
  Q_OBJECT
 private slots:
  void blankPageFollowsPalette();
  void focusIsShown();
  void linksForBrowser();
  void hostilePageRunsAndSendsNothing();
  void textAndPicturesStillShow();
  void missingLibraryLeavesPaneBlank();
  void tabGoesThroughThePage();

 private:
  QTemporaryDir dir_;
};

void PreviewTest::blankPageFollowsPalette() {
  const QColor dark(0x20, 0x24, 0x28);
  for (const QColor& base : {QColor(), dark}) {
    QWidget window;
    QPalette palette = window.palette();
    if (base.isValid()) palette.setColor(QPalette::Base, base);
    window.setPalette(palette);
    PreviewPane pane(&window);
    pane.resize(60, 40);
    // The default palette's page stays white, as it always was.
    QCOMPARE(pane.grab().toImage().pixelColor(30, 20), base.isValid() ? base : QColor(Qt::white));
  }
}

void PreviewTest::focusIsShown() {
  QWidget window;
  auto* other = new QWidget(&window);
  other->setFocusPolicy(Qt::StrongFocus);
  auto* pane = new PreviewPane(&window);
  pane->setGeometry(0, 0, 80, 60);
  window.show();
  window.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&window));

  other->setFocus();
  QTRY_VERIFY(other->hasFocus());
  const QImage unfocused = window.grab(pane->geometry()).toImage();
  pane->setFocus(Qt::TabFocusReason);
  QTRY_VERIFY(pane->hasFocus());
  const QImage focused = window.grab(pane->geometry()).toImage();
  const QColor highlight = pane->palette().color(QPalette::Highlight);
  QVERIFY(unfocused.pixelColor(0, 30) != highlight);
  QCOMPARE(focused.pixelColor(0, 30), highlight);
  QCOMPARE(focused.pixelColor(40, 0), highlight);
  QCOMPARE(focused.pixelColor(40, 30), unfocused.pixelColor(40, 30));  // the page is untouched
}

void PreviewTest::linksForBrowser() {
  for (const char* url :
       {"http://example.org/a?b=c", "HTTPS://example.org/", "mailto:a@example.org"})
    QVERIFY2(IsLinkForBrowser(QUrl(url)), url);
  // Local files, relative links, scripts, other programs' schemes, and a web link with no host.
  for (const char* url : {"file:///home/user/.ssh/id_rsa", "other.html", "javascript:alert(1)",
                          "apt:hello", "http:///path"})
    QVERIFY2(!IsLinkForBrowser(QUrl(url)), url);
}

void PreviewTest::hostilePageRunsAndSendsNothing() {
  const QString secret = Write(dir_.filePath("secret.txt"), "the user's own secret\n");
  QTcpServer listener;
  QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
  int heard = 0;
  connect(&listener, &QTcpServer::newConnection, [&] {
    while (listener.nextPendingConnection()) ++heard;
  });
  const QString page = HostilePage(dir_, listener.serverPort(), secret);
  QVERIFY(!secret.isEmpty() && !page.isEmpty());

  QList<QUrl> links;
  PreviewPane pane(nullptr, QStringLiteral(FINDLARK_PREVIEW_LIBRARY));
  pane.SetLinkHandler([&](const QUrl& url) { links << url; });
  pane.resize(300, 200);
  pane.show();
  QWebEngineView* view = Previewed(pane, QFile::encodeName(page).toStdString());
  QVERIFY(view);
  QTest::qWait(3000);  // time for the refresh, the timer and the form, were they let through
  QCOMPARE(view->page()->title(), QStringLiteral("quiet page"));
  QCOMPARE(view->page()->url(), QUrl::fromLocalFile(page));
  QCOMPARE(heard, 0);
  QVERIFY(links.isEmpty());  // nothing went to the browser without a click

  // The page is hostile indeed: with the engine's defaults it runs and sends. (After the
  // pane's engine, which chooses how pages are drawn the first time one is.)
  QWebEngineView plain;
  plain.setPage(new DefaultPage);
  plain.page()->setParent(&plain);
  plain.show();
  plain.load(QUrl::fromLocalFile(page));
  QVERIFY(Finishes(plain.page()));
  QTRY_VERIFY_WITH_TIMEOUT(heard > 0, 30000);
  QCOMPARE(plain.title(), QStringLiteral("script ran"));
}

void PreviewTest::textAndPicturesStillShow() {
  PreviewPane pane(nullptr, QStringLiteral(FINDLARK_PREVIEW_LIBRARY));
  pane.resize(300, 200);
  pane.show();
  // Names whose file address must be exactly right, or the page is taken for another one.
  const QByteArray dir = QFile::encodeName(dir_.path()) + '/';
  for (const char* name : {"notes.txt", "a!b'c (1)[x]#y?.txt", "caf\xe9 100%.txt"}) {
    const std::string path = (dir + name).toStdString();
    std::FILE* f = std::fopen(path.c_str(), "w");
    QVERIFY(f && std::fputs("Larks sing over the harbour.\n", f) >= 0 && std::fclose(f) == 0);
    QWebEngineView* view = Previewed(pane, path);
    QVERIFY2(view, name);
    QString text;
    view->page()->toPlainText([&](const QString& t) { text = t; });
    QTRY_VERIFY_WITH_TIMEOUT(text.contains("Larks sing over the harbour"), 30000);
  }
  QImage picture(40, 30, QImage::Format_RGB32);
  picture.fill(Qt::red);
  QVERIFY(picture.save(dir_.filePath("Photo.png")));
  QWebEngineView* view = Previewed(pane, (dir + "Photo.png").toStdString());
  QVERIFY(view);
  QVERIFY2(view->page()->title().contains("40"), qPrintable(view->page()->title()));  // 40×30
}

void PreviewTest::missingLibraryLeavesPaneBlank() {
  PreviewPane pane(nullptr, dir_.filePath("no-such-library.so"));
  QTest::ignoreMessage(QtWarningMsg, QRegularExpression("findlark: no preview: .*"));
  pane.Navigate("/a.txt");
  pane.Navigate("/b.txt");  // tried once, not each time
  QVERIFY(!pane.BrowserStarted());
  QCOMPARE(pane.Content()->objectName(), QStringLiteral("blankPage"));
}

void PreviewTest::tabGoesThroughThePage() {
  const QString txt = Write(dir_.filePath("tab.txt"), "text\n");
  QWidget window;
  auto* before = new QLineEdit(&window);
  auto* pane = new PreviewPane(&window, QStringLiteral(FINDLARK_PREVIEW_LIBRARY));
  auto* after = new QLineEdit(&window);
  pane->setGeometry(0, 30, 200, 100);
  QWidget::setTabOrder(before, pane);
  QWidget::setTabOrder(pane, after);
  window.show();
  window.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&window));
  QVERIFY(Previewed(*pane, QFile::encodeName(txt).toStdString()));
  const auto inPane = [pane] {
    QWidget* focus = QApplication::focusWidget();
    return focus && (focus == pane || pane->isAncestorOf(focus));
  };
  // Into the page and out again, both ways, twice.
  for (int round = 0; round < 4; ++round) {
    const bool forward = round % 2 == 0;
    QLineEdit* from = forward ? before : after;
    // Shift+Tab as X11 gives it.
    const Qt::Key key = forward ? Qt::Key_Tab : Qt::Key_Backtab;
    const Qt::KeyboardModifiers shift = forward ? Qt::NoModifier : Qt::ShiftModifier;
    from->setFocus();
    QTRY_VERIFY(from->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), key, shift);
    QTRY_VERIFY(inPane());
    QTest::keyClick(QApplication::focusWidget(), key, shift);
    QTRY_VERIFY((forward ? after : before)->hasFocus());
  }
}

QTEST_MAIN(PreviewTest)
#include "preview_test.moc"
