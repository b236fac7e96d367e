#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <algorithm>
#include <string>

#include "ui/preview_pane.h"
#include "ui/preview_views.h"

using namespace findlark;
using namespace Qt::Literals::StringLiterals;

namespace {

QString Write(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() ? path : QString();
}

// A file of `size` bytes that starts with `start`; the rest is a hole, so it costs no disk.
QString Sparse(const QString& path, const QByteArray& start, qint64 size) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(start) == start.size() && f.resize(size)
             ? path
             : QString();
}

// Previews the file at `path` by its kind; the widget that shows it once read.
QWidget* Shown(PreviewPane& pane, const QString& path, PreviewKind kind) {
  QSignalSpy shown(&pane, &PreviewPane::shown);
  pane.Navigate(QFile::encodeName(path).toStdString(), kind);
  return shown.wait(30000) ? pane.Content() : nullptr;
}

// Previews the page at `path`; the view showing it once loaded, or null.
QWebEngineView* Previewed(PreviewPane& pane, const QString& path) {
  auto* view = qobject_cast<QWebEngineView*>(Shown(pane, path, PreviewKind::kPage));
  QSignalSpy finished(view ? view->page() : nullptr, &QWebEnginePage::loadFinished);
  return view && finished.wait(60000) && finished.last().at(0).toBool() ? view : nullptr;
}

// The engine's defaults, but alerts that do not wait for a click.
class DefaultPage : public QWebEnginePage {
  void javaScriptAlert(const QUrl&, const QString&) override {}
};

}  // namespace

class PreviewTest : public QObject {
  Q_OBJECT
 private slots:
  void blankPageFollowsPaletteAndShowsFocus();
  void linksForBrowser();
  void hostilePageRunsAndSendsNothing();
  void textDecodesAndZooms();
  void bigFilesAreCut();
  void missingLibraryLeavesPaneBlank();
  void tabGoesThroughThePage();

 private:
  QTemporaryDir dir_;
};

// The blank page takes the window's palette, the default one's staying white as it always was;
// the focus is drawn round the pane's edge, the page left as it was.
void PreviewTest::blankPageFollowsPaletteAndShowsFocus() {
  for (const QColor& base : {QColor(), QColor(0x20, 0x24, 0x28)}) {
    QWidget window;
    QPalette palette = window.palette();
    if (base.isValid()) palette.setColor(QPalette::Base, base);
    window.setPalette(palette);
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
    QCOMPARE(unfocused.pixelColor(40, 30), base.isValid() ? base : QColor(Qt::white));
    pane->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(pane->hasFocus());
    const QImage focused = window.grab(pane->geometry()).toImage();
    const QColor highlight = pane->palette().color(QPalette::Highlight);
    QVERIFY(unfocused.pixelColor(0, 30) != highlight);
    QCOMPARE(focused.pixelColor(0, 30), highlight);
    QCOMPARE(focused.pixelColor(40, 0), highlight);
    QCOMPARE(focused.pixelColor(40, 30), unfocused.pixelColor(40, 30));
  }
}

void PreviewTest::linksForBrowser() {
  // Local files, relative links, scripts, other programs' schemes and a web link with no host
  // stay out.
  const std::pair<const char*, bool> links[] = {{"http://example.org/a?b=c", true},
                                                {"HTTPS://example.org/", true},
                                                {"mailto:a@example.org", true},
                                                {"file:///home/user/.ssh/id_rsa", false},
                                                {"other.html", false},
                                                {"javascript:alert(1)", false},
                                                {"apt:hello", false},
                                                {"http:///path", false}};
  for (const auto& [url, forBrowser] : links)
    QVERIFY2(IsLinkForBrowser(QUrl(url)) == forBrowser, url);
  // A page is loaded by its file's bytes exactly, whatever their encoding.
  QCOMPARE(FileUrlOf("/tmp/a b\xff%.txt").toEncoded(), QByteArray("file:///tmp/a%20b%FF%25.txt"));
}

// Nothing reaching a listener, opening a window or going to the browser without a click is also
// checked on a real desktop; here the scripts' own marks and that the page really is hostile.
void PreviewTest::hostilePageRunsAndSendsNothing() {
  const QString secret = Write(dir_.filePath("secret.txt"), "the user's own secret\n");
  QTcpServer listener;
  QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
  int heard = 0;
  connect(&listener, &QTcpServer::newConnection, [&] {
    while (listener.nextPendingConnection()) ++heard;
  });
  QFile fixture(QStringLiteral(FINDLARK_TEST_DATA "/hostile.htm"));
  QVERIFY(fixture.open(QIODevice::ReadOnly));
  const QByteArray port = QByteArray::number(listener.serverPort());
  const QString page = Write(dir_.filePath("downloads page.htm"),
                             fixture.readAll()
                                 .replace("@ORIGIN@", "http://127.0.0.1:" + port)
                                 .replace("@WS_ORIGIN@", "ws://127.0.0.1:" + port)
                                 .replace("@PORT@", port)
                                 .replace("@SECRET@", QUrl::fromLocalFile(secret).toEncoded()));
  PreviewPane pane(nullptr, QStringLiteral(FINDLARK_PREVIEW_LIBRARY));
  pane.resize(300, 200);
  pane.show();
  QWebEngineView* view = Previewed(pane, page);
  QVERIFY(view);
  QTest::qWait(3000);  // time for the refresh, the timer and the form, were they let through
  QCOMPARE(view->page()->title(), QStringLiteral("quiet page"));
  QCOMPARE(view->page()->url(), QUrl::fromLocalFile(page));
  QCOMPARE(heard, 0);

  // The page is hostile indeed: with the engine's defaults it runs and sends. (After the
  // pane's engine, which chooses how pages are drawn the first time one is.)
  QWebEngineView plain;
  plain.setPage(new DefaultPage);
  plain.page()->setParent(&plain);
  plain.show();
  QSignalSpy titles(plain.page(), &QWebEnginePage::titleChanged);
  plain.load(QUrl::fromLocalFile(page));
  // Its refresh may cut its own first load short, so only what it did is checked.
  QTRY_VERIFY_WITH_TIMEOUT(heard > 0, 30000);
  QVERIFY(std::any_of(titles.begin(), titles.end(),
                      [](const QList<QVariant>& t) { return t.at(0) == "script ran"; }));
}

void PreviewTest::textDecodesAndZooms() {
  const std::pair<QByteArray, QString> cases[] = {
      {"caf\xc3\xa9 \xe2\x82\xac", u"caf\u00e9 \u20ac"_qs},            // UTF-8
      {QByteArray::fromHex("efbbbf636166c3a9"), u"caf\u00e9"_qs},      // UTF-8, marked
      {QByteArray::fromHex("fffe6300e900ac20"), u"c\u00e9\u20ac"_qs},  // UTF-16LE
      {QByteArray::fromHex("feff006300e920ac"), u"c\u00e9\u20ac"_qs},  // UTF-16BE
      {"caf\xe9 \x80", u"caf\u00e9 \u0080"_qs},                        // not UTF-8: Latin-1
      {"\xed\xa0\x80", u"\u00ed\u00a0\u0080"_qs},                      // a surrogate is not UTF-8
  };
  for (const auto& [bytes, text] : cases) QCOMPARE(DecodePreviewText(bytes), text);

  // Through the pane: its own view, in the window's palette, selectable, zoomed with the keys.
  QWidget window;
  QPalette palette = window.palette();
  palette.setColor(QPalette::Base, QColor(0x20, 0x24, 0x28));
  window.setPalette(palette);
  auto* pane = new PreviewPane(&window, QStringLiteral(FINDLARK_PREVIEW_LIBRARY));
  window.show();
  const QString notes = Write(dir_.filePath("notes.txt"), "Larks sing over the harbour.\n");
  QCOMPARE(Shown(*pane, notes, PreviewKind::kText), pane->Text());
  QTRY_VERIFY(!pane->Text()->Loading());
  QPlainTextEdit* editor = pane->Text()->Editor();
  QCOMPARE(editor->toPlainText(), QStringLiteral("Larks sing over the harbour.\n"));
  QVERIFY(pane->Text()->Notice()->isHidden() && editor->isReadOnly() && !pane->BrowserStarted());
  QVERIFY(editor->textInteractionFlags() & Qt::TextSelectableByKeyboard);
  QCOMPARE(editor->palette().color(QPalette::Base), QColor(0x20, 0x24, 0x28));
  const int size = editor->font().pointSize();
  editor->setFocus();
  for (const auto& [key, grown] :
       {std::pair{Qt::Key_Plus, 1}, {Qt::Key_Equal, 2}, {Qt::Key_Minus, 1}, {Qt::Key_0, 0}}) {
    QTest::keyClick(editor, key, Qt::ControlModifier);
    QCOMPARE(editor->font().pointSize(), size + grown);
  }

  // What cannot be read is said, and a kind that is not previewed leaves the pane as it was.
  QVERIFY(QDir(dir_.path()).mkdir("folder.txt"));
  QCOMPARE(Shown(*pane, dir_.filePath("folder.txt"), PreviewKind::kText), pane->Note());
  QCOMPARE(pane->Note()->text(), QStringLiteral("This is a folder."));
  pane->Navigate("/no/such/file.doc", PreviewKind::kNone);
  QTest::qWait(50);
  QCOMPARE(pane->Content(), pane->Note());
}

void PreviewTest::bigFilesAreCut() {
  // 200 MB of text, mostly a hole: only the first 4 MiB are read.
  const QString big = Sparse(dir_.filePath("big.txt"), "first line\n", 200 << 20);
  PreviewPane pane(nullptr, QStringLiteral(FINDLARK_PREVIEW_LIBRARY));
  QCOMPARE(Shown(pane, big, PreviewKind::kText), pane.Text());
  QVERIFY(pane.Text()->Notice()->isVisibleTo(&pane));
  QCOMPARE(pane.Text()->Notice()->text(), QStringLiteral("Showing the first 4 MB of 200 MB"));
  QTRY_VERIFY_WITH_TIMEOUT(!pane.Text()->Loading(), 60000);
  // 4 MiB less "first line\n" are NULs in one line, shown as 256 lines of 16 Ki characters.
  QCOMPARE(pane.Text()->Editor()->document()->characterCount(), (4 << 20) + 1 + 255);
  QCOMPARE(pane.Text()->Editor()->document()->blockCount(), 1 + 256);
  // A page that big is not loaded at all.
  const QString page = Sparse(dir_.filePath("big.htm"), "<p>page</p>", 17 << 20);
  QCOMPARE(Shown(pane, page, PreviewKind::kPage), pane.Note());
  QCOMPARE(pane.Note()->text(),
           QStringLiteral("This page is too big to preview (17 MB). Pages up to 16 MB are shown."));
  QVERIFY(!pane.BrowserStarted());

  // Pieces of whole lines where there are lines (as many as fit in 128 Ki); a line feed at a
  // piece's end stays.
  const QString line = QString(10000, 'a') + '\n';
  QCOMPARE(SplitForShowing(line.repeated(20)),
           QStringList({line.repeated(13).chopped(1), line.repeated(7).chopped(1), QString()}));
  QCOMPARE(SplitForShowing(QString()), QStringList({QString()}));

  // A cut never splits a character: the é that straddles it goes whole.
  const std::string cut =
      QFile::encodeName(Write(dir_.filePath("cut.txt"), "abcdefghi\xc3\xa9xyz")).toStdString();
  const PreviewText text = ReadPreviewText(cut, 10);
  QCOMPARE(std::tuple(text.shown, text.total, text.text), std::tuple(9, 14, u"abcdefghi"_qs));
  QCOMPARE(ReadPreviewText(cut, 11).text, u"abcdefghi\u00e9"_qs);
}

void PreviewTest::missingLibraryLeavesPaneBlank() {
  PreviewPane pane(nullptr, dir_.filePath("no-such-library.so"));
  QTest::ignoreMessage(QtWarningMsg, QRegularExpression("findlark: no preview: .*"));
  const std::string page =
      QFile::encodeName(Write(dir_.filePath("p.htm"), "<p>x</p>")).toStdString();
  pane.Navigate(page, PreviewKind::kPage);
  QTest::qWait(200);
  pane.Navigate(page, PreviewKind::kPage);  // tried once, not each time
  QTest::qWait(200);
  QVERIFY(!pane.BrowserStarted());
  QCOMPARE(pane.Content()->objectName(), QStringLiteral("blankPage"));
}

void PreviewTest::tabGoesThroughThePage() {
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
  QWebEngineView* view = Previewed(*pane, Write(dir_.filePath("tab.htm"), "<p>text</p>\n"));
  QVERIFY(view);
  // Into the page and out again, both ways (Shift+Tab as X11 gives it), twice.
  for (int round = 0; round < 4; ++round) {
    const bool forward = round % 2 == 0;
    const Qt::Key key = forward ? Qt::Key_Tab : Qt::Key_Backtab;
    const Qt::KeyboardModifiers shift = forward ? Qt::NoModifier : Qt::ShiftModifier;
    (forward ? before : after)->setFocus();
    QTRY_VERIFY((forward ? before : after)->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), key, shift);
    QTRY_VERIFY(QApplication::focusWidget() == pane ||
                pane->isAncestorOf(QApplication::focusWidget()));
    if (round == 0) {  // Ctrl+plus and Ctrl+minus zoom the page
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Plus, Qt::ControlModifier);
      QTRY_COMPARE(view->zoomFactor(), 1.2);
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Minus, Qt::ControlModifier);
      QTRY_COMPARE(view->zoomFactor(), 1.0);
    }
    QTest::keyClick(QApplication::focusWidget(), key, shift);
    QTRY_VERIFY((forward ? after : before)->hasFocus());
  }
}

QTEST_MAIN(PreviewTest)
#include "preview_test.moc"
