#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
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
#include <cstdio>
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

// Previews the file at `path` by its kind; the widget that shows it once read.
QWidget* Shown(PreviewPane& pane, const QString& path, PreviewKind kind) {
  QSignalSpy shown(&pane, &PreviewPane::shown);
  pane.Navigate(QFile::encodeName(path).toStdString(), kind);
  return shown.wait(30000) ? pane.Content() : nullptr;
}

// A file of `size` bytes that starts with `start`; the rest is a hole, so it costs no disk.
QString Sparse(const QString& path, const QByteArray& start, qint64 size) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(start) == start.size() && f.resize(size)
             ? path
             : QString();
}

quint32 Crc32(const QByteArray& bytes) {
  quint32 crc = 0xFFFFFFFF;
  for (const char ch : bytes) {
    crc ^= static_cast<unsigned char>(ch);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

QByteArray BigEndian(quint32 v) {
  const char bytes[] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  return QByteArray(bytes, 4);
}

QByteArray Chunk(const QByteArray& type, const QByteArray& data) {
  return BigEndian(quint32(data.size())) + type + data + BigEndian(Crc32(type + data));
}

// A valid black-and-white PNG of width x height pixels, all white, that compresses to little.
QByteArray HugePng(quint32 width, quint32 height) {
  const qsizetype row = 1 + (width + 7) / 8;  // filter byte, then one bit a pixel
  QByteArray pixels(row * height, char(0xFF));
  for (qsizetype r = 0; r < pixels.size(); r += row) pixels[r] = 0;
  const QByteArray zlib = qCompress(pixels, 9).mid(4);  // without Qt's length prefix
  pixels.clear();
  QByteArray header = BigEndian(width) + BigEndian(height);
  header += QByteArray("\x01\x00\x00\x00\x00", 5);  // 1 bit, grey, deflate, no filter, plain
  return QByteArray("\x89PNG\r\n\x1a\n") + Chunk("IHDR", header) + Chunk("IDAT", zlib) +
         Chunk("IEND", {});
}

// A red 1x1 GIF that plays `frames` frames.
QByteArray AnimatedGif(int frames) {
  QByteArray gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\x00\x00\xff\xff\xff", 19);
  gif += QByteArray("\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
  for (int i = 0; i < frames; ++i) {
    gif += QByteArray("\x21\xf9\x04\x00\x0a\x00\x00\x00", 8);
    gif += QByteArray("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00", 15);
  }
  return gif + ';';
}

// Previews `path` in `pane`; the view showing it once loaded, or null.
QWebEngineView* Previewed(PreviewPane& pane, const std::string& path) {
  QSignalSpy shown(&pane, &PreviewPane::shown);
  pane.Navigate(path, PreviewKind::kPage);
  if (!shown.wait(30000)) return nullptr;
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
  void textDecodesAndZooms();
  void textIsCutAt4MiB();
  void picturesAreCheckedBeforeDecoding_data();
  void picturesAreCheckedBeforeDecoding();
  void bigPagesAreNotLoaded();
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
  const QString page = HostilePage(dir_, listener.serverPort(), secret);
  QVERIFY(!secret.isEmpty() && !page.isEmpty());

  PreviewPane pane(nullptr, QStringLiteral(FINDLARK_PREVIEW_LIBRARY));
  pane.resize(300, 200);
  pane.show();
  QWebEngineView* view = Previewed(pane, QFile::encodeName(page).toStdString());
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
  palette.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
  window.setPalette(palette);
  auto* pane = new PreviewPane(&window, QStringLiteral(FINDLARK_PREVIEW_LIBRARY));
  pane->resize(300, 200);
  window.show();
  const QString notes = Write(dir_.filePath("notes.txt"), "Larks sing over the harbour.\n");
  QCOMPARE(Shown(*pane, notes, PreviewKind::kText), pane->Text());
  QTRY_VERIFY(!pane->Text()->Loading());
  QPlainTextEdit* editor = pane->Text()->Editor();
  QCOMPARE(editor->toPlainText(), QStringLiteral("Larks sing over the harbour.\n"));
  QVERIFY(pane->Text()->Notice()->isHidden());
  QVERIFY(editor->isReadOnly());
  QVERIFY(editor->textInteractionFlags() & Qt::TextSelectableByKeyboard);
  QCOMPARE(editor->palette().color(QPalette::Base), QColor(0x20, 0x24, 0x28));
  QVERIFY(!pane->BrowserStarted());
  const int size = editor->font().pointSize();
  editor->setFocus();
  const std::pair<Qt::Key, int> zooms[] = {
      {Qt::Key_Plus, 1}, {Qt::Key_Equal, 2}, {Qt::Key_Minus, 1}, {Qt::Key_0, 0}};
  for (const auto& [key, grown] : zooms) {
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

void PreviewTest::textIsCutAt4MiB() {
  // 200 MB, mostly a hole: only the first 4 MiB are read.
  const QString big = Sparse(dir_.filePath("big.txt"), "first line\n", 200 << 20);
  PreviewPane pane(nullptr, QStringLiteral(FINDLARK_PREVIEW_LIBRARY));
  QCOMPARE(Shown(pane, big, PreviewKind::kText), pane.Text());
  QVERIFY(pane.Text()->Notice()->isVisibleTo(&pane));
  QCOMPARE(pane.Text()->Notice()->text(), QStringLiteral("Showing the first 4 MB of 200 MB"));
  QTRY_VERIFY_WITH_TIMEOUT(!pane.Text()->Loading(), 60000);
  // 4 MiB less "first line\n" are NULs in one line, shown as 256 lines of 16 Ki characters.
  QCOMPARE(pane.Text()->Editor()->document()->characterCount(), (4 << 20) + 1 + 255);
  QCOMPARE(pane.Text()->Editor()->document()->blockCount(), 1 + 256);

  // Pieces of whole lines where there are lines; a line feed at a piece's end stays.
  const QString line = QString(10000, 'a') + '\n';
  const QStringList pieces = SplitForShowing(line.repeated(20));
  QCOMPARE(pieces.size(), 3);
  QCOMPARE(pieces[0], line.repeated(13).chopped(1));  // as many lines as fit in 128 Ki
  QCOMPARE(pieces[1], line.repeated(7).chopped(1));
  QCOMPARE(pieces[2], QString());
  QCOMPARE(SplitForShowing(QString()), QStringList({QString()}));

  // A cut never splits a character: the é that straddles it goes whole.
  const QString small = Write(dir_.filePath("cut.txt"), "abcdefghi\xc3\xa9xyz");
  const PreviewText text = ReadPreviewText(QFile::encodeName(small).toStdString(), 10);
  QCOMPARE(text.shown, 9);
  QCOMPARE(text.total, 14);
  QCOMPARE(text.text, QStringLiteral("abcdefghi"));
  QCOMPARE(ReadPreviewText(QFile::encodeName(small).toStdString(), 11).text, u"abcdefghi\u00e9"_qs);
}

void PreviewTest::picturesAreCheckedBeforeDecoding_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QByteArray>("bytes");
  QTest::addColumn<QString>("seen");  // in a pane of 300 x 200
  const auto filled = [](int width, int height, const char* format) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::red);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return buffer.data();
  };
  QTest::newRow("small: its own size")
      << "Photo.png" << filled(40, 30, "PNG") << "picture 130,85 40x30, 1 frames";
  QTest::newRow("wide: down to fit, aspect kept")
      << "wide.jpg" << filled(600, 100, "JPG") << "picture 0,75 300x50, 1 frames";
  // 30000 x 30000 would take 3.4 GB decoded: refused from its header.
  QTest::newRow("huge")
      << "huge.png" << HugePng(30000, 30000)
      << u"note This picture is too big to preview (30000 \u00d7 30000 pixels)."_qs;
  QTest::newRow("broken") << "broken.png" << QByteArray("\x89PNG\r\n\x1a\n but nothing after")
                          << "note This picture cannot be shown.";
  // Animations play, up to a bounded number of frames.
  QTest::newRow("two frames") << "two.gif" << AnimatedGif(2) << "picture 149,99 1x1, 2 frames";
  QTest::newRow("many frames") << "many.gif" << AnimatedGif(400)
                               << "picture 149,99 1x1, 300 frames";
}

void PreviewTest::picturesAreCheckedBeforeDecoding() {
  QFETCH(QString, name);
  QFETCH(QByteArray, bytes);
  QFETCH(QString, seen);
  PreviewPane pane(nullptr, QStringLiteral(FINDLARK_PREVIEW_LIBRARY));
  pane.resize(300, 200);
  pane.show();
  QWidget* shown = Shown(pane, Write(dir_.filePath(name), bytes), PreviewKind::kPicture);
  if (shown == pane.Picture()) {
    const QRect at = pane.Picture()->PictureRect();
    QCOMPARE(QStringLiteral("picture %1,%2 %3x%4, %5 frames")
                 .arg(at.x())
                 .arg(at.y())
                 .arg(at.width())
                 .arg(at.height())
                 .arg(pane.Picture()->FrameCount()),
             seen);
    QVERIFY(pane.grab().toImage().pixelColor(at.center()).red() > 240);
  } else {
    QCOMPARE(shown, pane.Note());
    QCOMPARE("note " + pane.Note()->text(), seen);
  }
  QVERIFY(!pane.BrowserStarted());
}

void PreviewTest::bigPagesAreNotLoaded() {
  PreviewPane pane(nullptr, QStringLiteral(FINDLARK_PREVIEW_LIBRARY));
  const QString big = Sparse(dir_.filePath("big.htm"), "<p>page</p>", 17 << 20);
  QCOMPARE(Shown(pane, big, PreviewKind::kPage), pane.Note());
  QCOMPARE(pane.Note()->text(),
           QStringLiteral("This page is too big to preview (17 MB). Pages up to 16 MB are shown."));
  QVERIFY(!pane.BrowserStarted());
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
  const QString txt = Write(dir_.filePath("tab.htm"), "<p>text</p>\n");
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
    if (round == 0) {  // Ctrl+plus and Ctrl+minus zoom the page
      auto* view = qobject_cast<QWebEngineView*>(pane->Content());
      QVERIFY(view);
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
