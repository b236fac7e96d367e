#include "ui/results_view.h"

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <QThreadPool>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <semaphore>
#include <string>
#include <vector>

#include "results/results_tree.h"
#include "ui/results_model.h"

using namespace findlark;

namespace {

ResultRecord Hit(const std::string& path, FileCategory category) {
  return {path, "1 KB", "June 04, 2007", "", "", category};
}

// A model and a shown view over it: Documents a, b, c and Music m.
struct Fixture {
  ResultsModel model;
  ResultsView view{&model};

  Fixture() {
    model.ResetResults();
    std::vector<ResultRecord> batch = {Hit("/d/c.txt", kDocuments), Hit("/d/a.txt", kDocuments),
                                       Hit("/d/m.mp3", kMusic), Hit("/d/b.txt", kDocuments)};
    model.RecordHits(batch);
    view.expand(model.NodeIndex(kDocuments));
    view.expand(model.NodeIndex(kMusic));
    view.resize(300, 200);
    view.show();
  }
  QModelIndex Node(FileCategory c) const { return model.NodeIndex(c); }
  QModelIndex Leaf(FileCategory c, int row) const { return model.index(row, 0, Node(c)); }
  QModelIndex At(FileCategory c, int row) const { return row < 0 ? Node(c) : Leaf(c, row); }
};

}  // namespace

class ResultsViewTest : public QObject {
  Q_OBJECT
 private slots:
  void pageAndFocus();
  void mimeDataKeepsOddNames();
  void longNamesScrollSideways();
  void twoMillionHitsCostOnlyTheVisibleRows();
  void scrollBarsPaintWithoutHelperThreads();
};

// The keys, the mouse and Ctrl+C are played in the window's cases (cases/window.txt); here a
// page, which moves by a screenful, and the focus drawn before anything is selected.
void ResultsViewTest::pageAndFocus() {
  Fixture f;
  const int page = f.view.viewport()->height() / f.view.RowHeight();
  QVERIFY(page > 2 && page < 15);
  f.view.setCurrentIndex(f.Node(kDocuments));
  QTest::keyClick(&f.view, Qt::Key_PageDown);
  QCOMPARE(f.view.visualRect(f.view.currentIndex()).top(), (page - 1) * f.view.RowHeight());

  // Focused before anything is selected, the view still shows it has the focus: on the first
  // row while it is on screen, on the view's edge after a scroll.
  for (int scrolled : {0, 1}) {
    Fixture g;
    g.view.resize(300, 3 * g.view.RowHeight() + 4);
    g.view.verticalScrollBar()->setValue(scrolled);
    g.view.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&g.view));
    g.view.clearFocus();
    g.view.setAttribute(Qt::WA_KeyboardFocusChange);  // as a Tab press leaves it
    const QImage without = g.view.viewport()->grab().toImage();
    g.view.setFocus(Qt::TabFocusReason);
    QVERIFY(g.view.hasFocus());
    QVERIFY2(g.view.viewport()->grab().toImage() != without, scrolled ? "scrolled" : "at top");
    QVERIFY(!g.view.currentIndex().isValid());
  }
}

void ResultsViewTest::mimeDataKeepsOddNames() {
  // The URL keeps every byte, valid UTF-8 or not; the text is the path as typed.
  const std::pair<std::string, QByteArray> cases[] = {
      {"/tmp/a b.txt", "file:///tmp/a%20b.txt"},
      {"/x/\xC3\xA9t\xC3\xA9", "file:///x/%C3%A9t%C3%A9"},
      {"/x/\xFF\xFE.bin", "file:///x/%FF%FE.bin"},
      {"/x/%41#?;&+.txt", "file:///x/%2541%23%3F%3B%26%2B.txt"},
      {"/x/line\nbreak\r", "file:///x/line%0Abreak%0D"},
  };
  for (const auto& [path, url] : cases) {
    std::unique_ptr<QMimeData> mime(HitMimeData(path));
    const QByteArray list = mime->data(QStringLiteral("text/uri-list"));
    QCOMPARE(list, url + "\r\n");
    QCOMPARE(QByteArray::fromPercentEncoding(list.mid(7).chopped(2)).toStdString(), path);
    if (QString::fromStdString(path).toStdString() == path)
      QCOMPARE(mime->text(), QString::fromStdString(path));
  }
}

// A name wider than the view can be scrolled into sight; short names need no scroll bar.
void ResultsViewTest::longNamesScrollSideways() {
  Fixture f;
  QApplication::processEvents();
  QCOMPARE(f.view.horizontalScrollBar()->maximum(), 0);
  std::vector<ResultRecord> batch = {Hit("/d/" + std::string(200, 'w') + ".txt", kDocuments)};
  f.model.RecordHits(batch);
  f.view.repaint();
  QApplication::processEvents();
  const QModelIndex longest = f.Leaf(kDocuments, 3);
  QCOMPARE(longest.data().toString(), QString(200, 'w'));
  const int wide = f.view.fontMetrics().horizontalAdvance(QString(200, 'w'));
  QVERIFY2(f.view.horizontalScrollBar()->maximum() > wide - f.view.viewport()->width(),
           qPrintable(QString::number(f.view.horizontalScrollBar()->maximum())));
  // Scrolled, rows move left and clicks still find them; the node's arrow is scrolled away.
  const QRect before = f.view.visualRect(longest);
  f.view.horizontalScrollBar()->setValue(100);
  QCOMPARE(f.view.visualRect(longest).x(), before.x() - 100);
  QCOMPARE(f.view.indexAt(before.center()), longest);
  QTest::mouseClick(f.view.viewport(), Qt::LeftButton, {}, QPoint(5, 5));
  QVERIFY(f.view.isExpanded(f.Node(kDocuments)));  // a click on the name, not on the arrow
  QCOMPARE(f.view.currentIndex(), f.Node(kDocuments));
}

void ResultsViewTest::twoMillionHitsCostOnlyTheVisibleRows() {
  ResultsModel model;
  ResultsView view(&model);
  view.resize(300, 400);
  view.show();
  model.ResetResults();
  view.expand(model.NodeIndex(kDocuments));
  const int onScreen = view.viewport()->height() / view.RowHeight() + 1;

  // Uneven batches, labels scattered over the whole range so every batch lands throughout.
  constexpr int kHits = 2'000'000;
  const int sizes[] = {1, 7, 3000, 250'000, 13, 600'000, 99'999, 1'046'980};
  std::mt19937 rng(11);
  int made = 0;
  int64_t chosen = -1;
  for (const int size : sizes) {
    std::vector<ResultRecord> batch;
    for (int i = 0; i < size; ++i, ++made)
      batch.push_back(Hit("/d/n" + std::to_string(rng() % 1'000'000) + ".txt", kDocuments));
    view.ResetLeafQueries();
    model.RecordHits(batch);
    view.viewport()->repaint();
    // The view asked about the rows on screen, never about the rest.
    QVERIFY2(view.LeafQueries() <= static_cast<uint64_t>(onScreen),
             qPrintable(QString::number(view.LeafQueries())));
    if (made > 100'000 && chosen < 0) {
      view.setCurrentIndex(model.index(made / 2, 0, model.NodeIndex(kDocuments)));
      chosen = model.ItemData(view.currentIndex());
    }
  }
  QCOMPARE(model.NodeIndex(kDocuments).data().toString(), QStringLiteral("Documents (2000000)"));
  QCOMPARE(view.VisibleRowCount(), int64_t{kHits + kCategoryCount});
  // The current item stayed on its hit while two million others came in around it.
  QCOMPARE(model.ItemData(view.currentIndex()), chosen);

  // Keys at the far end cost no more than at the start.
  view.ResetLeafQueries();
  QTest::keyClick(&view, Qt::Key_End);
  QTest::keyClick(&view, Qt::Key_PageUp);
  view.viewport()->repaint();
  QVERIFY(view.LeafQueries() <= static_cast<uint64_t>(3 * onScreen));
  const QModelIndex last = model.index(kHits - 1, 0, model.NodeIndex(kDocuments));
  QVERIFY(!view.visualRect(last).isEmpty());
}

// A stock style hands a tall scroll bar's gradients and lines to Qt's helper threads and waits
// for them: on a busy machine, as long as they wait for a core. Here every helper is kept busy
// while the bar paints; a paint that needed one would wait until a helper gives up (a cutoff,
// not a measure).
void ResultsViewTest::scrollBarsPaintWithoutHelperThreads() {
  ResultsModel model;
  ResultsView view(&model);
  QScrollBar* bar = view.verticalScrollBar();
  bar->setRange(0, 1000);
  bar->resize(bar->sizeHint().width(), 1400);
  QThreadPool* pool = QThreadPool::globalInstance();
  const int threads = pool->maxThreadCount();
  std::counting_semaphore<> started(0), release(0);
  std::atomic<int> gaveUp{0};
  for (int i = 0; i < threads; ++i) {
    pool->start([&] {
      started.release();
      if (!release.try_acquire_for(std::chrono::seconds(10))) ++gaveUp;
    });
  }
  for (int i = 0; i < threads; ++i) started.acquire();
  QImage image(bar->size(), QImage::Format_ARGB32_Premultiplied);
  bar->render(&image);
  release.release(threads);
  pool->waitForDone();
  QCOMPARE(gaveUp.load(), 0);  // each gives up, if at all, while the bar paints
}

QTEST_MAIN(ResultsViewTest)
#include "results_view_test.moc"
