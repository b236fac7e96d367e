#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>

#include "search/case_fold.h"
#include "search/pdf_text.h"
#include "search/search_run.h"
#include "ui/announcer.h"
#include "ui/results_model.h"
#include "ui/results_view.h"
#include "ui/search_dlg.h"

namespace findlark {

namespace {

using Clock = std::chrono::steady_clock;

// A take of fewer hits than this means the window keeps up with the worker: the queue counts as
// emptied until the next drain.
constexpr size_t kTakeHits = 2048;
// Window-thread time spent storing hits before other events get their turn.
constexpr auto kDrainBudget = std::chrono::milliseconds(4);
// While hits flow, the window fetches them this often instead of being woken for each one;
// the worker's queue holds far more than it can find in this time.
constexpr auto kDrainPause = std::chrono::milliseconds(10);
// A drain that found the queue this full means the worker was waiting for room: come back
// almost at once, so a fast walk is not held to one queueful per pause.
constexpr size_t kFullDrain = 4096;
constexpr auto kBusyPause = std::chrono::milliseconds(1);

// The least time between two tree updates. The merge runs on a helper and costs the window next
// to nothing, but each one copies every leaf of the categories it touches: as the tree grows,
// merges come less often (100 ms at first, 500 ms from two million hits on), which leaves more
// of the machine to the walk while the hits still appear several times a second.
Clock::duration UpdateInterval(int shownHits) {
  return std::chrono::milliseconds(std::clamp(100 + shownHits / 5000, 100, 500));
}

}  // namespace

void CSearchDlg::OnOK() {
  QWidget* focus = focusWidget();
  if (focus && (focus == m_tree || m_tree->isAncestorOf(focus))) {
    OnOpen();  // Enter in the tree opens the selected hit
    return;
  }
  if (focus != m_searchEdit && focus != m_searchButton) return;
  if (m_searching) {
    // A walk that has not returned a second after this is given up (see OnTimer).
    m_run.RequestStop();
    return;
  }
  StartSearch();
}

void CSearchDlg::StartSearch() {
  const QByteArray typed = m_searchEdit->text().toUtf8();
  std::string query = NormalizeQuery(std::string_view(typed.constData(), typed.size()));
  if (query.empty()) return;
  if (SearchRun::HeldRuns() >= kMaxHeldRuns) {
    m_status->setText(QStringLiteral(
        "Earlier searches are still held by folders that do not answer. Try again later."));
    return;
  }

  m_queryLower = query;
  m_finalShown = false;
  m_queueClosed = false;
  m_model->ResetResults();
  m_lastUpdate = {};  // the first hits show at once
  const bool fromEdit = focusWidget() == m_searchEdit;
  m_searchEdit->setEnabled(false);
  m_optionsButton->setEnabled(false);
  // Disabling the box hands its focus on (to the Search button); the end of the run hands it
  // back, unless the user has put it somewhere else meanwhile.
  m_focusTakenTo = fromEdit ? focusWidget() : nullptr;
  m_focusTaken = fromEdit;

  SearchOptions options;
  options.queryLower = std::move(query);
  options.typeFilter = m_typeFilter;
  options.searchContents = m_searchContents;
  if (m_searchPdf && m_pdf && m_pdf->Available()) options.pdf = m_pdf;
  options.filters = m_filters.At(std::time(nullptr));
  m_runFilters = options.filters;
  options.folder = m_searchFolder;
  BeforeRun(options);
  m_run.Start(std::move(options));  // cannot fail: too many held runs was ruled out above

  m_progressTimer.start();
  m_searching = true;
  m_searchButton->setText(QStringLiteral("Stop"));
}

void CSearchDlg::PostDrain() {
  // Runs on the worker too: at most one drain is pending at any time, and the worker wakes the
  // window only when none is.
  if (!m_drainPosted.exchange(true))
    QMetaObject::invokeMethod(
        this, [this] { OnDrainDue(); }, Qt::QueuedConnection);
}

void CSearchDlg::OnDrainDue() {
  // The pending drain: it keeps m_drainPosted set while it plans another, and clears it last.
  if (!m_searching || m_finalShown) {
    m_drainPosted.store(false);
    return;
  }
  size_t taken = 0;
  const Drain drain = StoreQueuedHits(&taken);
  if (drain == Drain::kMore) {
    // More is queued: let other events in first.
    QMetaObject::invokeMethod(
        this, [this] { OnDrainDue(); }, Qt::QueuedConnection);
  } else if (drain == Drain::kBusy) {
    // The worker holds the queue: try again shortly rather than spin on a core it may need.
    QTimer::singleShot(kBusyPause, this, [this] { OnDrainDue(); });
  } else if (taken > 0 && !m_queueClosed) {
    // Hits are flowing: come back for the next ones shortly rather than be woken for each.
    QTimer::singleShot(taken >= kFullDrain ? kBusyPause : kDrainPause, this,
                       [this] { OnDrainDue(); });
  } else {
    m_drainPosted.store(false);
    // A hit queued since the last take found the flag set and woke nobody.
    size_t late = 0;
    if (StoreQueuedHits(&late) != Drain::kEmptied || late > 0) PostDrain();
  }
  ScheduleTreeUpdate();
}

void CSearchDlg::DrainHits() {
  if (!m_searching || m_finalShown) return;
  size_t taken = 0;
  if (StoreQueuedHits(&taken) != Drain::kEmptied) PostDrain();
  ScheduleTreeUpdate();
}

CSearchDlg::Drain CSearchDlg::StoreQueuedHits(size_t* taken) {
  // Moves the queued hits to the store, so the worker can walk on; a stored hit shows nowhere
  // yet. The window thread never waits for the queue: the worker holds it for each hit, and
  // one that loses its core meanwhile would stall the window until it gets one back.
  const Clock::time_point start = Clock::now();
  for (;;) {
    m_taken.clear();  // its memory goes to the queue for the hits to come
    const std::optional<SearchRun::Taken> took = m_run.TryTakeAll(m_taken);
    if (!took) return Drain::kBusy;
    *taken += took->hits;
    const bool walkEnded = took->last && !m_queueClosed;
    m_queueClosed = took->last;
    m_model->AppendHits(m_taken);
    if (walkEnded) m_model->ReleaseIdleMemory();  // the buffers hits came in are idle now
    if (took->hits < kTakeHits || took->last) return Drain::kEmptied;
    if (Clock::now() - start > kDrainBudget) return Drain::kMore;
  }
}

void CSearchDlg::ScheduleTreeUpdate() {
  // Stored hits go into the tree by merges on a helper thread, one at a time, spaced out by a
  // timer; when one finishes, OnHitsRecorded plans the next. Once the walk is over nothing else
  // is coming, so the last hits go in at once and the final text follows.
  // Known from the last take, so the window never waits on the worker's queue to learn it.
  const bool walkDone = m_queueClosed;
  if (m_model->AppendedHits() > 0) {
    if (m_model->Merging()) return;  // its end comes back here
    if (walkDone) {
      UpdateTree();
    } else if (!m_updateScheduled) {
      m_updateScheduled = true;
      const unsigned ticket = ++m_updateTicket;
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
          m_lastUpdate + UpdateInterval(Results().foundCount) - Clock::now());
      QTimer::singleShot(std::max(wait, std::chrono::milliseconds::zero()), this, [this, ticket] {
        if (ticket != m_updateTicket || !m_searching || m_finalShown) return;
        UpdateTree();
      });
    }
    return;
  }
  if (walkDone && !m_model->Merging()) {
    // Written here, on the window thread, once every hit is recorded: nothing can overwrite it.
    // A narrowed search says so: what it left out is not missing.
    std::string text = FinalStatusText(m_run.Cancelled(), Results().foundCount);
    if (m_runFilters.Any()) text += " (filtered)";
    // Again, now that the walk's threads have ended; the helper first frees the lists the last
    // merge replaced.
    m_model->ReleaseIdleMemory();
    m_status->setText(QString::fromStdString(text));
    Announcer::Say(this, m_status->text());
    m_finalShown = true;
  }
}

void CSearchDlg::UpdateTree() {
  ++m_updateTicket;  // an update planned for later would find nothing left to do
  m_updateScheduled = false;
  m_lastUpdate = Clock::now();
  m_model->StartMerge();
}

void CSearchDlg::OnHitsRecorded() {
  // A category node is expanded by each hit recorded under it.
  const auto& touched = m_model->LastTouched();
  for (int c = 0; c < kCategoryCount; ++c)
    if (touched[c]) m_tree->expand(m_model->NodeIndex(c));
  DrainHits();  // the next merge, or the final text
}

void CSearchDlg::OnTimer() {
  if (!m_finalShown) DrainHits();
  if (m_finalShown) {
    m_progressTimer.stop();
    m_searching = false;
    m_searchButton->setText(QStringLiteral("Search"));
    m_searchEdit->setEnabled(true);
    m_optionsButton->setEnabled(true);
    if (m_focusTaken && (focusWidget() == m_focusTakenTo || !focusWidget())) {
      // The next search is typed straight over the last one.
      m_searchEdit->setFocus(Qt::OtherFocusReason);
      m_searchEdit->selectAll();
    }
    m_focusTaken = false;
    return;
  }
  m_status->setText(QString::fromStdString(ProgressText(Results().foundCount, m_run.WaitingFor())));
}

}  // namespace findlark
