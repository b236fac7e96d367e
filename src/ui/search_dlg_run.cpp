#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QTreeView>

#include "search/case_fold.h"
#include "search/search_run.h"
#include "ui/results_model.h"
#include "ui/search_dlg.h"

namespace findlark {

namespace {
// Hits recorded per slice of the window thread: small enough that typing, scrolling and Stop
// are answered between slices while a million hits come in.
constexpr size_t kSliceHits = 5000;
}  // namespace

void CSearchDlg::OnOK() {
  QWidget* focus = focusWidget();
  if (focus && (focus == m_tree || m_tree->isAncestorOf(focus))) {
    OnOpen();  // Enter in the tree opens the selected hit
    return;
  }
  if (focus != m_searchEdit && focus != m_searchButton) return;
  if (m_searching) {
    m_run.RequestStop();
    return;
  }
  StartSearch();
}

void CSearchDlg::StartSearch() {
  const QByteArray typed = m_searchEdit->text().toUtf8();
  std::string query = NormalizeQuery(std::string_view(typed.constData(), typed.size()));
  if (query.empty()) return;

  m_queryLower = query;
  m_finalShown = false;
  m_model->ResetResults();
  m_searchEdit->setEnabled(false);
  m_optionsButton->setEnabled(false);

  SearchOptions options;
  options.queryLower = std::move(query);
  options.typeFilter = m_typeFilter;
  options.searchContents = m_searchContents;
  options.folder = m_searchFolder;
  m_run.Start(std::move(options));

  m_progressTimer.start();
  m_searching = true;
  m_searchButton->setText(QStringLiteral("Stop"));
}

void CSearchDlg::PostDrain() {
  // Runs on the worker: at most one drain request is pending at any time.
  if (!m_drainPosted.exchange(true))
    QMetaObject::invokeMethod(
        this, [this] { DrainHits(); }, Qt::QueuedConnection);
}

void CSearchDlg::DrainHits() {
  m_drainPosted.store(false);
  if (!m_searching || m_finalShown) return;

  m_batch.clear();
  const size_t taken = m_run.TakeHits(m_batch, kSliceHits);
  if (taken > 0) {
    const auto touched = m_model->RecordHits(m_batch);
    for (int c = 0; c < kCategoryCount; ++c)
      if (touched[c]) m_tree->expand(m_model->NodeIndex(c));
    m_batch.clear();
  }
  if (taken == kSliceHits) {
    PostDrain();  // more may be queued; let other events in first
    return;
  }
  if (m_run.Finished()) {
    // Written here, on the window thread, once the queue is empty: nothing can overwrite it.
    m_status->setText(
        QString::fromStdString(FinalStatusText(m_run.Cancelled(), Results().foundCount)));
    m_finalShown = true;
  }
}

void CSearchDlg::OnTimer() {
  if (!m_finalShown) DrainHits();
  if (m_finalShown) {
    m_progressTimer.stop();
    m_searching = false;
    m_searchButton->setText(QStringLiteral("Search"));
    m_searchEdit->setEnabled(true);
    m_optionsButton->setEnabled(true);
    return;
  }
  m_status->setText(QString::fromStdString(ProgressText(Results().foundCount)));
}

}  // namespace findlark
