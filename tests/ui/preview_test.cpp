#include <QApplication>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "ui/preview_pane.h"

using namespace findlark;

namespace {

// Counts every connection made to 127.0.0.1 on a free port, and what was asked for.
class Listener : public QObject {
 public:
  Listener() {
    QVERIFY(server_.listen(QHostAddress::LocalHost, 0));
    connect(&server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        ++connections;
        connect(socket, &QTcpSocket::readyRead, this,
                [this, socket] { heard += socket->readLine().trimmed() + ' '; });
      }
    });
  }
  quint16 Port() const { return server_.serverPort(); }
  int connections = 0;
  QByteArray heard;

 private:
  QTcpServer server_;
};

QString Write(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) return {};
  return path;
}

// The hostile page, aimed at `listener`, trying to read `secret`.
QString HostilePage(const QTemporaryDir& dir, const Listener& listener, const QString& secret) {
  QFile fixture(QStringLiteral(FINDLARK_TEST_DATA "/hostile.htm"));
  if (!fixture.open(QIODevice::ReadOnly)) return {};
  const QByteArray port = QByteArray::number(listener.Port());
  QByteArray page = fixture.readAll();
  page.replace("@ORIGIN@", "http://127.0.0.1:" + port)
      .replace("@WS_ORIGIN@", "ws://127.0.0.1:" + port)
      .replace("@PORT@", port)
      .replace("@SECRET@", QUrl::fromLocalFile(secret).toEncoded());
  return Write(dir.filePath(QStringLiteral("downloads page.htm")), page);
}

// An engine with its defaults, but whose alerts do not wait for a click.
class DefaultPage : public QWebEnginePage {
 protected:
  void javaScriptAlert(const QUrl&, const QString&) override {}
};

// Waits for the view's page to finish loading; false when it never does.
bool LoadsIn(QWebEngineView* view, const std::function<void()>& load) {
  QSignalSpy finished(view->page(), &QWebEnginePage::loadFinished);
  load();
  return finished.wait(60000) || finished.count() > 0;
}

}  // namespace

class PreviewTest : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase();
  void blankPageFollowsPalette_data();
  void blankPageFollowsPalette();
  void focusIsShown();
  void linksForBrowser_data();
  void linksForBrowser();
  void hostilePageRunsAndSendsNothing();
  void textAndPicturesStillShow();
  void missingLibraryLeavesPaneBlank();

 private:
  QTemporaryDir dir_;
};

void PreviewTest::initTestCase() {
  QVERIFY(dir_.isValid());
}

void PreviewTest::blankPageFollowsPalette_data() {
  QTest::addColumn<bool>("dark");
  QTest::newRow("light, white as ever") << false;
  QTest::newRow("dark, the palette's base") << true;
}

void PreviewTest::blankPageFollowsPalette() {
  QFETCH(bool, dark);
  QWidget window;
  QPalette palette = window.palette();
  if (dark) {
    palette.setColor(QPalette::Window, QColor(0x30, 0x30, 0x30));
    palette.setColor(QPalette::Base, QColor(0x20, 0x24, 0x28));
    palette.setColor(QPalette::Text, Qt::white);
    window.setPalette(palette);
  }
  PreviewPane pane(&window);
  pane.resize(60, 40);
  const QImage shot = pane.grab().toImage();
  const QColor expected = dark ? QColor(0x20, 0x24, 0x28) : QColor(Qt::white);
  QCOMPARE(shot.pixelColor(30, 20), expected);
}

void PreviewTest::focusIsShown() {
  QWidget window;
  auto* other = new QWidget(&window);
  other->setFocusPolicy(Qt::StrongFocus);
  auto* pane = new PreviewPane(&window);
  pane->setGeometry(0, 0, 80, 60);
  other->setGeometry(0, 60, 80, 20);
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
  QCOMPARE(focused.pixelColor(0, 30), highlight);
  QCOMPARE(focused.pixelColor(40, 0), highlight);
  QCOMPARE(focused.pixelColor(40, 30), unfocused.pixelColor(40, 30));  // the page is untouched
  QVERIFY(unfocused.pixelColor(0, 30) != highlight);
}

void PreviewTest::linksForBrowser_data() {
  QTest::addColumn<QString>("url");
  QTest::addColumn<bool>("handedOver");
  QTest::newRow("http") << "http://example.org/a?b=c" << true;
  QTest::newRow("https") << "HTTPS://example.org/" << true;
  QTest::newRow("mail") << "mailto:someone@example.org" << true;
  QTest::newRow("local file") << "file:///home/user/.ssh/id_rsa" << false;
  QTest::newRow("relative") << "other.html" << false;
  QTest::newRow("script") << "javascript:alert(1)" << false;
  QTest::newRow("data") << "data:text/html,<b>x</b>" << false;
  QTest::newRow("other program") << "apt:hello" << false;
  QTest::newRow("no host") << "http:///path" << false;
  QTest::newRow("empty mail") << "mailto:" << false;
}

void PreviewTest::linksForBrowser() {
  QFETCH(QString, url);
  QFETCH(bool, handedOver);
  QCOMPARE(IsLinkForBrowser(QUrl(url)), handedOver);
}

void PreviewTest::hostilePageRunsAndSendsNothing() {
  const QString secret = Write(dir_.filePath("secret.txt"), "the user's own secret\n");
  QVERIFY(!secret.isEmpty());

  Listener listener;
  const QString page = HostilePage(dir_, listener, secret);
  QVERIFY(!page.isEmpty());
  QList<QUrl> links;
  PreviewPane pane(nullptr, QStringLiteral(FINDLARK_PREVIEW_LIBRARY));
  pane.SetLinkHandler([&](const QUrl& url) { links << url; });
  pane.resize(300, 200);
  pane.show();
  pane.Navigate(QFile::encodeName(page).toStdString());
  QVERIFY(pane.BrowserStarted());
  auto* view = qobject_cast<QWebEngineView*>(pane.Content());
  QVERIFY(view);
  QSignalSpy finished(view->page(), &QWebEnginePage::loadFinished);
  QVERIFY(finished.wait(60000) || finished.count() > 0);
  QCOMPARE(view->page()->url(), QUrl::fromLocalFile(page));
  // Time for the refresh, the timer and the form to go, had they been allowed to.
  QTest::qWait(3000);
  QCOMPARE(view->page()->title(), QStringLiteral("quiet page"));
  QCOMPARE(view->page()->url(), QUrl::fromLocalFile(page));
  QCOMPARE(listener.connections, 0);
  QCOMPARE(listener.heard, QByteArray());
  QVERIFY(links.isEmpty());  // nothing went to the browser without a click

  // The page is hostile indeed: an engine with its defaults runs it and sends. (After the
  // pane's own engine, which chooses how pages are drawn the first time one is.)
  {
    Listener control;
    const QString controlPage = HostilePage(dir_, control, secret);
    QVERIFY(!controlPage.isEmpty());
    QWebEngineView plain;
    plain.setPage(new DefaultPage);
    plain.page()->setParent(&plain);
    plain.resize(300, 200);
    plain.show();
    QVERIFY(LoadsIn(&plain, [&] { plain.load(QUrl::fromLocalFile(controlPage)); }));
    QTRY_VERIFY_WITH_TIMEOUT(control.connections > 0, 30000);
    QCOMPARE(plain.title(), QStringLiteral("script ran"));
  }
}

void PreviewTest::textAndPicturesStillShow() {
  QImage picture(40, 30, QImage::Format_RGB32);
  picture.fill(Qt::red);
  const QString png = dir_.filePath("Photo.png");
  QVERIFY(picture.save(png));
  const QString txt = dir_.filePath("notes.txt");
  QVERIFY(QFile::copy(FINDLARK_TEST_DATA "/notes.txt", txt));

  PreviewPane pane(nullptr, QStringLiteral(FINDLARK_PREVIEW_LIBRARY));
  pane.resize(300, 200);
  pane.show();
  pane.Navigate(QFile::encodeName(txt).toStdString());
  auto* view = qobject_cast<QWebEngineView*>(pane.Content());
  QVERIFY(view);
  QSignalSpy finished(view->page(), &QWebEnginePage::loadFinished);
  QVERIFY(finished.wait(60000) || finished.count() > 0);
  QVERIFY(finished.last().at(0).toBool());
  QString text;
  view->page()->toPlainText([&](const QString& t) { text = t; });
  QTRY_VERIFY_WITH_TIMEOUT(text.contains("Larks sing over the harbour"), 30000);

  finished.clear();
  pane.Navigate(QFile::encodeName(png).toStdString());
  QVERIFY(finished.wait(60000) || finished.count() > 0);
  QVERIFY(finished.last().at(0).toBool());
  QCOMPARE(view->page()->url(), QUrl::fromLocalFile(png));
  QVERIFY2(view->page()->title().contains("40"), qPrintable(view->page()->title()));
}

void PreviewTest::missingLibraryLeavesPaneBlank() {
  PreviewPane pane(nullptr, dir_.filePath("no-such-library.so"));
  QTest::ignoreMessage(QtWarningMsg, QRegularExpression("findlark: no preview: .*"));
  pane.Navigate(QFile::encodeName(dir_.filePath("notes.txt")).toStdString());
  QVERIFY(!pane.BrowserStarted());
  QCOMPARE(pane.Content()->objectName(), QStringLiteral("blankPage"));
  pane.Navigate("/again");  // tried once, not each time
}

QTEST_MAIN(PreviewTest)
#include "preview_test.moc"
