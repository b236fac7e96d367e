#include "ui/filters_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cmath>
#include <functional>

namespace findlark {
namespace {

struct Unit {
  const char* name;
  int64_t factor;
};
// As the window's size texts count them.
constexpr Unit kSizeUnits[] = {{"bytes", 1}, {"KB", 1 << 10}, {"MB", 1 << 20}, {"GB", 1 << 30}};
constexpr Unit kTimeUnits[] = {
    {"minutes", 60}, {"hours", 3600}, {"days", 86400}, {"weeks", 604800}};
constexpr const char* kSuggested[] = {".git", "node_modules", ".cache", "__pycache__"};

template <size_t N>
QComboBox* UnitBox(const Unit (&units)[N], const QString& name, QWidget* parent) {
  auto* box = new QComboBox(parent);
  for (const Unit& unit : units) box->addItem(QString::fromLatin1(unit.name));
  box->setAccessibleName(name);
  return box;
}

// A value shown in the largest unit that holds it whole.
template <size_t N>
void ShowIn(int64_t value, const Unit (&units)[N], QComboBox* unitBox,
            const std::function<void(double)>& set) {
  size_t pick = 0;
  for (size_t i = 0; i < N; ++i)
    if (value >= units[i].factor && value % units[i].factor == 0) pick = i;
  unitBox->setCurrentIndex(static_cast<int>(pick));
  set(static_cast<double>(value) / static_cast<double>(units[pick].factor));
}

// A check box naming the value beside it; the value is used only while it is ticked.
QWidget* Row(QCheckBox* on, std::initializer_list<QWidget*> values, QWidget* parent) {
  auto* row = new QWidget(parent);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(on);
  for (QWidget* value : values) {
    layout->addWidget(value);
    value->setEnabled(false);
    QObject::connect(on, &QCheckBox::toggled, value, &QWidget::setEnabled);
  }
  layout->addStretch();
  return row;
}

QDoubleSpinBox* SizeBox(const QString& name, QWidget* parent) {
  auto* box = new QDoubleSpinBox(parent);
  box->setRange(0, 1e6);
  box->setDecimals(1);
  box->setAccessibleName(name);
  return box;
}

QDateTimeEdit* DateBox(const QString& name, QWidget* parent) {
  auto* box = new QDateTimeEdit(QDateTime::currentDateTime(), parent);
  box->setCalendarPopup(true);
  box->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
  box->setAccessibleName(name);
  return box;
}

}  // namespace

CFiltersDlg::CFiltersDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Filters"));
  auto* form = new QFormLayout;

  m_exclude = new QPlainTextEdit(this);
  m_exclude->setTabChangesFocus(true);
  m_exclude->setAccessibleName(QStringLiteral("Leave out names, one pattern a line"));
  m_exclude->setPlaceholderText(QStringLiteral("such as .git or build/*.o"));
  auto* suggest = new QPushButton(QStringLiteral("Add &suggested"), this);
  connect(suggest, &QPushButton::clicked, this, &CFiltersDlg::AddSuggested);
  auto* excludeBox = new QWidget(this);
  auto* excludeLayout = new QVBoxLayout(excludeBox);
  excludeLayout->setContentsMargins(0, 0, 0, 0);
  excludeLayout->addWidget(m_exclude);
  excludeLayout->addWidget(suggest, 0, Qt::AlignLeft);
  auto* excludeLabel = new QLabel(QStringLiteral("&Leave out:"), this);
  excludeLabel->setBuddy(m_exclude);
  form->addRow(excludeLabel, excludeBox);

  m_minOn = new QCheckBox(QStringLiteral("At l&east"), this);
  m_min = SizeBox(QStringLiteral("Smallest size"), this);
  m_minUnit = UnitBox(kSizeUnits, QStringLiteral("Unit of the smallest size"), this);
  form->addRow(Row(m_minOn, {m_min, m_minUnit}, this));
  m_maxOn = new QCheckBox(QStringLiteral("At &most"), this);
  m_max = SizeBox(QStringLiteral("Largest size"), this);
  m_maxUnit = UnitBox(kSizeUnits, QStringLiteral("Unit of the largest size"), this);
  form->addRow(Row(m_maxOn, {m_max, m_maxUnit}, this));

  m_withinOn = new QCheckBox(QStringLiteral("Changed within the las&t"), this);
  m_within = new QSpinBox(this);
  m_within->setRange(1, 100000);
  m_within->setAccessibleName(QStringLiteral("How long ago"));
  m_withinUnit = UnitBox(kTimeUnits, QStringLiteral("Unit of time"), this);
  m_withinUnit->setCurrentIndex(2);
  form->addRow(Row(m_withinOn, {m_within, m_withinUnit}, this));
  m_afterOn = new QCheckBox(QStringLiteral("Changed &after"), this);
  m_after = DateBox(QStringLiteral("Changed after"), this);
  form->addRow(Row(m_afterOn, {m_after}, this));
  m_beforeOn = new QCheckBox(QStringLiteral("Changed &before"), this);
  m_before = DateBox(QStringLiteral("Changed before"), this);
  form->addRow(Row(m_beforeOn, {m_before}, this));

  m_word = new QCheckBox(QStringLiteral("&Whole words only"), this);
  form->addRow(m_word);
  m_oneFs = new QCheckBox(QStringLiteral("Stay on &one file system"), this);
  form->addRow(m_oneFs);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  QPushButton* clear =
      buttons->addButton(QStringLiteral("&Clear all"), QDialogButtonBox::ResetRole);
  connect(clear, &QPushButton::clicked, this, &CFiltersDlg::ClearAll);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

void CFiltersDlg::SetSettings(const FilterSettings& settings) {
  ClearAll();
  const SearchFilters& f = settings.filters;
  QStringList lines;
  for (const std::string& pattern : f.exclude) lines << QString::fromStdString(pattern);
  m_exclude->setPlainText(lines.join(QLatin1Char('\n')));
  const auto showSize = [](const std::optional<int64_t>& size, QCheckBox* on, QDoubleSpinBox* box,
                           QComboBox* unit) {
    on->setChecked(size.has_value());
    if (size) ShowIn(*size, kSizeUnits, unit, [box](double v) { box->setValue(v); });
  };
  showSize(f.minSize, m_minOn, m_min, m_minUnit);
  showSize(f.maxSize, m_maxOn, m_max, m_maxUnit);
  m_withinOn->setChecked(settings.changedWithin.has_value());
  if (settings.changedWithin)
    ShowIn(*settings.changedWithin, kTimeUnits, m_withinUnit,
           [this](double v) { m_within->setValue(static_cast<int>(std::lround(v))); });
  m_afterOn->setChecked(f.changedAfter.has_value());
  if (f.changedAfter) m_after->setDateTime(QDateTime::fromSecsSinceEpoch(*f.changedAfter));
  m_beforeOn->setChecked(f.changedBefore.has_value());
  if (f.changedBefore) m_before->setDateTime(QDateTime::fromSecsSinceEpoch(*f.changedBefore));
  m_word->setChecked(f.wholeWord);
  m_oneFs->setChecked(f.oneFileSystem);
}

FilterSettings CFiltersDlg::Settings() const {
  FilterSettings settings;
  SearchFilters& f = settings.filters;
  for (const QString& line : m_exclude->toPlainText().split(QLatin1Char('\n'))) {
    const QString pattern = line.trimmed();
    if (!pattern.isEmpty()) f.exclude.push_back(pattern.toStdString());
  }
  const auto size = [](QCheckBox* on, QDoubleSpinBox* box, QComboBox* unit) {
    return on->isChecked()
               ? std::optional<int64_t>(std::llround(
                     box->value() * static_cast<double>(kSizeUnits[unit->currentIndex()].factor)))
               : std::nullopt;
  };
  f.minSize = size(m_minOn, m_min, m_minUnit);
  f.maxSize = size(m_maxOn, m_max, m_maxUnit);
  if (m_withinOn->isChecked())
    settings.changedWithin = m_within->value() * kTimeUnits[m_withinUnit->currentIndex()].factor;
  if (m_afterOn->isChecked()) f.changedAfter = m_after->dateTime().toSecsSinceEpoch();
  if (m_beforeOn->isChecked()) f.changedBefore = m_before->dateTime().toSecsSinceEpoch();
  f.wholeWord = m_word->isChecked();
  f.oneFileSystem = m_oneFs->isChecked();
  return settings;
}

void CFiltersDlg::ClearAll() {
  m_exclude->clear();
  for (QCheckBox* on : {m_minOn, m_maxOn, m_withinOn, m_afterOn, m_beforeOn, m_word, m_oneFs})
    on->setChecked(false);
}

void CFiltersDlg::AddSuggested() {
  QStringList lines = m_exclude->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  for (const char* pattern : kSuggested)
    if (!lines.contains(QLatin1String(pattern))) lines << QLatin1String(pattern);
  m_exclude->setPlainText(lines.join(QLatin1Char('\n')));
}

}  // namespace findlark
