#include "ui/results_model.h"

#include <QAbstractItemModelTester>
#include <QPersistentModelIndex>
#include <QSignalSpy>
#include <QTest>
#include <string>
#include <vector>

using namespace findlark;

namespace {

ResultRecord Hit(const std::string& name, FileCategory category) {
  return {"/data/" + name, "1 KB", "June 04, 2007", "", "", category};
}

QString Label(const QModelIndex& index) {
  return index.data(Qt::DisplayRole).toString();
}

// The leaves of `category`, in row order, as `role` gives them, joined by `separator`.
QString Leaves(const ResultsModel& model, FileCategory category, int role = Qt::DisplayRole,
               const QString& separator = {}) {
  QStringList out;
  for (int r = 0; r < model.rowCount(model.NodeIndex(category)); ++r)
    out << model.index(r, 0, model.NodeIndex(category)).data(role).toString();
  return out.join(separator);
}

}  // namespace

class ResultsModelTest : public QObject {
  Q_OBJECT
 private slots:
  void batchesKeepModelAndIndexesConsistent();
  void mergesOffThreadAndANewSearchDropsTheOld();
};

void ResultsModelTest::batchesKeepModelAndIndexesConsistent() {
  ResultsModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  QCOMPARE(model.rowCount(), 0);  // no nodes before the first search
  model.ResetResults();
  QCOMPARE(Label(model.index(12, 0)), QStringLiteral("Other (0)"));

  // Batches spread over categories, each landing before, between and after earlier leaves;
  // persistent indexes taken after the first must follow their leaves. Each batch is stored in
  // two slices, as the window does between two tree updates, and shows only once recorded.
  const char* names[] = {"m", "c", "x", "a", "k", "b", "z", "e", "q", "d", "n", "f"};
  std::vector<QPersistentModelIndex> kept;
  for (int round = 0; round < 4; ++round) {
    std::vector<ResultRecord> music, docs;
    for (int i = round; i < 12; i += 4) {
      music.push_back(Hit(std::string(names[i]) + ".mp3", kMusic));
      docs.push_back(Hit(std::string(names[i]) + std::to_string(round) + ".txt", kDocuments));
    }
    model.AppendHits(music);
    model.AppendHits(docs);
    QCOMPARE(model.AppendedHits(), size_t{6});
    QCOMPARE(Label(model.NodeIndex(kMusic)), QStringLiteral("Music (%1)").arg(3 * round));
    QVERIFY(!model.results().RefersToRecord(6 * round));  // stored, but no reader may reach it
    const auto touched = model.RecordAppendedHits();
    QVERIFY(touched[kMusic] && touched[kDocuments] && !touched[kVideo]);
    QCOMPARE(model.AppendedHits(), size_t{0});
    for (int r = 0; round == 0 && r < 3; ++r)
      kept.emplace_back(model.index(r, 0, model.NodeIndex(kMusic)));
  }
  QVERIFY(!model.RecordAppendedHits()[kMusic]);  // nothing left to record
  QCOMPARE(model.results().foundCount, 24);
  QCOMPARE(Label(model.NodeIndex(kMusic)), QStringLiteral("Music (12)"));
  QCOMPARE(Leaves(model, kMusic), QStringLiteral("abcdefkmnqxz"));
  QCOMPARE(Leaves(model, kMusic, ResultsModel::kItemDataRole, ","),
           QStringLiteral("18,7,6,8,19,20,1,0,14,2,12,13"));  // the records, in found order
  QCOMPARE(Label(kept[0]) + Label(kept[1]) + Label(kept[2]), QStringLiteral("kmq"));
  QCOMPARE(kept[0].row() * 100 + kept[1].row() * 10 + kept[2].row(), 6 * 100 + 7 * 10 + 9);
}

void ResultsModelTest::mergesOffThreadAndANewSearchDropsTheOld() {
  ResultsModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  QSignalSpy recorded(&model, &ResultsModel::hitsRecorded);
  model.ResetResults();
  std::vector<ResultRecord> first = {Hit("m.mp3", kMusic)};
  model.RecordHits(first);
  const QPersistentModelIndex m(model.index(0, 0, model.NodeIndex(kMusic)));

  // Many hits sorting before "m": while they merge, the old rows stand as they were.
  std::vector<ResultRecord> many;
  for (int i = 0; i < 200000; ++i) many.push_back(Hit("a" + std::to_string(i) + ".mp3", kMusic));
  model.AppendHits(many);
  QVERIFY(model.StartMerge());
  QVERIFY(!model.StartMerge());  // one at a time
  QCOMPARE(model.rowCount(model.NodeIndex(kMusic)), 1);
  QTRY_COMPARE_WITH_TIMEOUT(recorded.size(), 1, 60000);
  QCOMPARE(model.results().foundCount, 200001);
  QCOMPARE(Label(model.NodeIndex(kMusic)), QStringLiteral("Music (200001)"));
  QCOMPARE(m.row(), 200000);  // the persistent index followed its leaf past the new ones
  QVERIFY(model.LastTouched()[kMusic] && !model.LastTouched()[kDocuments]);

  // A new search while a merge runs: the old merge never shows, the new one does.
  model.AppendHits(many);
  QVERIFY(model.StartMerge());
  model.ResetResults();
  std::vector<ResultRecord> one = {Hit("z.txt", kDocuments)};
  model.AppendHits(one);
  QVERIFY(model.StartMerge());
  QTRY_COMPARE_WITH_TIMEOUT(recorded.size(), 2, 60000);
  QCOMPARE(model.results().foundCount, 1);
  QCOMPARE(Leaves(model, kDocuments), QStringLiteral("z"));
  QCOMPARE(model.rowCount(model.NodeIndex(kMusic)), 0);
}

QTEST_MAIN(ResultsModelTest)
#include "results_model_test.moc"
