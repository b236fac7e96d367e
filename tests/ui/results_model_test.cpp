#include "ui/results_model.h"

#include <QAbstractItemModelTester>
#include <QPersistentModelIndex>
#include <QTest>
#include <string>
#include <vector>

#include "results/results_tree.h"

using findlark::ResultRecord;
using findlark::ResultsModel;

namespace {

ResultRecord Hit(const std::string& name, findlark::FileCategory category,
                 const std::string& match = {}) {
  ResultRecord r;
  r.path = "/data/" + name;
  r.sizeText = category == findlark::kFolders ? "" : "1 KB";
  r.dateText = "June 04, 2007";
  r.matchLine = match;
  const auto dot = name.rfind('.');
  r.extension = dot == std::string::npos ? "" : name.substr(dot + 1);
  r.category = category;
  return r;
}

QString Label(const QModelIndex& index) {
  return index.data(Qt::DisplayRole).toString();
}

}  // namespace

class ResultsModelTest : public QObject {
  Q_OBJECT
 private slots:
  void emptyBeforeFirstSearch();
  void batchesKeepModelConsistent();
  void persistentIndexesFollowTheirLeaves();
  void appendedHitsStayHiddenUntilRecorded();
  void itemDataAndTips();
};

void ResultsModelTest::emptyBeforeFirstSearch() {
  ResultsModel model;
  QCOMPARE(model.rowCount(), 0);
  model.ResetResults();
  QCOMPARE(model.rowCount(), findlark::kCategoryCount);
  QCOMPARE(Label(model.index(0, 0)), QStringLiteral("Documents (0)"));
  QCOMPARE(Label(model.index(12, 0)), QStringLiteral("Other (0)"));
  QVERIFY(!model.hasChildren(model.index(2, 0)));
}

void ResultsModelTest::batchesKeepModelConsistent() {
  ResultsModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  model.ResetResults();

  // Several batches, each spreading over categories and landing between earlier leaves.
  const char* names[] = {"m", "c", "x", "a", "k", "b", "z", "e", "q", "d", "n", "f"};
  int found = 0;
  for (int round = 0; round < 4; ++round) {
    std::vector<ResultRecord> batch;
    for (int i = round; i < 12; i += 4) {
      batch.push_back(Hit(std::string(names[i]) + ".mp3", findlark::kMusic));
      batch.push_back(
          Hit(std::string(names[i]) + std::to_string(round) + ".txt", findlark::kDocuments));
    }
    found += static_cast<int>(batch.size());
    const auto touched = model.RecordHits(batch);
    QVERIFY(touched[findlark::kMusic]);
    QVERIFY(touched[findlark::kDocuments]);
    QVERIFY(!touched[findlark::kVideo]);
  }
  QCOMPARE(model.results().foundCount, found);
  const QModelIndex music = model.NodeIndex(findlark::kMusic);
  QCOMPARE(Label(music), QStringLiteral("Music (12)"));
  QCOMPARE(model.rowCount(music), 12);
  QStringList labels;
  for (int r = 0; r < model.rowCount(music); ++r) labels << Label(model.index(r, 0, music));
  QStringList sorted = labels;
  sorted.sort(Qt::CaseInsensitive);
  QCOMPARE(labels, sorted);
  QCOMPARE(model.parent(model.index(3, 0, music)), music);
  QVERIFY(!model.hasChildren(model.index(3, 0, music)));
}

void ResultsModelTest::persistentIndexesFollowTheirLeaves() {
  ResultsModel model;
  model.ResetResults();
  std::vector<ResultRecord> first = {Hit("d.mp3", findlark::kMusic), Hit("h.mp3", findlark::kMusic),
                                     Hit("p.mp3", findlark::kMusic)};
  model.RecordHits(first);
  const QModelIndex music = model.NodeIndex(findlark::kMusic);
  std::vector<QPersistentModelIndex> kept;
  for (int r = 0; r < 3; ++r) kept.emplace_back(model.index(r, 0, music));
  const QPersistentModelIndex node(music);

  // New leaves before, between and after the old ones.
  std::vector<ResultRecord> second = {
      Hit("a.mp3", findlark::kMusic), Hit("e.mp3", findlark::kMusic),
      Hit("f.mp3", findlark::kMusic), Hit("z.mp3", findlark::kMusic),
      Hit("b.mp3", findlark::kMusic)};
  model.RecordHits(second);
  QCOMPARE(kept[0].row(), 2);  // d after a, b
  QCOMPARE(kept[1].row(), 5);  // h after a, b, e, f
  QCOMPARE(kept[2].row(), 6);  // p after a, b, e, f
  QCOMPARE(Label(kept[0]), QStringLiteral("d"));
  QCOMPARE(Label(kept[1]), QStringLiteral("h"));
  QCOMPARE(Label(kept[2]), QStringLiteral("p"));
  QCOMPARE(node.row(), findlark::kMusic);
}

void ResultsModelTest::appendedHitsStayHiddenUntilRecorded() {
  ResultsModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  model.ResetResults();
  std::vector<ResultRecord> first = {Hit("m.mp3", findlark::kMusic),
                                     Hit("c.txt", findlark::kDocuments)};
  model.RecordHits(first);
  const QModelIndex music = model.NodeIndex(findlark::kMusic);
  const QPersistentModelIndex m(model.index(0, 0, music));

  // Stored in two slices, as the window does between two tree updates: nothing shows yet.
  model.AppendHits({Hit("a.mp3", findlark::kMusic), Hit("z.mp3", findlark::kMusic)});
  model.AppendHits({Hit("b.mp3", findlark::kMusic), Hit("Plans", findlark::kFolders)});
  QCOMPARE(model.AppendedHits(), size_t{4});
  QCOMPARE(model.results().foundCount, 2);
  QCOMPARE(model.rowCount(music), 1);
  QCOMPARE(Label(music), QStringLiteral("Music (1)"));
  QVERIFY(!model.results().RefersToRecord(2));  // stored, but no reader may reach it yet
  QCOMPARE(Label(m), QStringLiteral("m"));

  const auto touched = model.RecordAppendedHits();
  QVERIFY(touched[findlark::kMusic] && touched[findlark::kFolders] &&
          !touched[findlark::kDocuments]);
  QCOMPARE(model.AppendedHits(), size_t{0});
  QCOMPARE(model.results().foundCount, 6);
  QCOMPARE(Label(music), QStringLiteral("Music (4)"));
  QStringList labels;
  QList<qlonglong> data;
  for (int r = 0; r < model.rowCount(music); ++r) {
    labels << Label(model.index(r, 0, music));
    data << model.index(r, 0, music).data(ResultsModel::kItemDataRole).toLongLong();
  }
  QCOMPARE(labels, QStringList({"a", "b", "m", "z"}));
  QCOMPARE(data, QList<qlonglong>({2, 4, 0, 3}));
  QCOMPARE(m.row(), 2);
  QCOMPARE(model.rowCount(model.NodeIndex(findlark::kFolders)), 1);
  QVERIFY(!model.RecordAppendedHits()[findlark::kMusic]);  // nothing left to record
}

void ResultsModelTest::itemDataAndTips() {
  ResultsModel model;
  model.ResetResults();
  std::vector<ResultRecord> batch = {Hit("<b>x.txt", findlark::kDocuments, "a <i>line</i>"),
                                     Hit("Plans", findlark::kFolders)};
  model.RecordHits(batch);

  const QModelIndex docs = model.NodeIndex(findlark::kDocuments);
  QCOMPARE(docs.data(ResultsModel::kItemDataRole).toLongLong(), qlonglong(-1));
  QVERIFY(!docs.data(Qt::ToolTipRole).isValid());
  QVERIFY(!docs.data(Qt::DecorationRole).isNull());

  const QModelIndex leaf = model.index(0, 0, docs);
  QCOMPARE(leaf.data(ResultsModel::kItemDataRole).toLongLong(), qlonglong(0));
  QCOMPARE(Label(leaf), QStringLiteral("<b>x"));
  const QString tip = leaf.data(Qt::ToolTipRole).toString();
  QVERIFY(tip.contains(QStringLiteral("/data/&lt;b&gt;x.txt\n\nSize: 1 KB")));
  QVERIFY(tip.contains(QStringLiteral("Contents:\na &lt;i&gt;line&lt;/i&gt;")));
  QVERIFY(!tip.contains(QStringLiteral("<b>")));

  const QModelIndex folder = model.index(0, 0, model.NodeIndex(findlark::kFolders));
  QCOMPARE(folder.data(ResultsModel::kItemDataRole).toLongLong(), qlonglong(1));
  QCOMPARE(folder.data(Qt::ToolTipRole).toString(), findlark::PlainTipHtml("/data/Plans"));

  // After a reset no old index refers to a record any more.
  model.ResetResults();
  QCOMPARE(model.rowCount(model.NodeIndex(findlark::kDocuments)), 0);
  QCOMPARE(model.ItemData(model.NodeIndex(findlark::kDocuments)), int64_t{-1});
}

QTEST_MAIN(ResultsModelTest)
#include "results_model_test.moc"
