#pragma once

#include <QDialog>

#include "search/search_filters.h"

class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QDoubleSpinBox;
class QPlainTextEdit;
class QSpinBox;

namespace findlark {

// "Filters...": what narrows the next searches, beyond the text, type and folder.
class CFiltersDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CFiltersDlg(QWidget* parent = nullptr);

  void SetSettings(const FilterSettings& settings);
  FilterSettings Settings() const;
  void ClearAll();
  void AddSuggested();  // .git, node_modules, .cache, __pycache__, those not listed yet

  // For tests and the keyboard.
  QPlainTextEdit* Exclude() const { return m_exclude; }
  QCheckBox* MinSizeOn() const { return m_minOn; }
  QDoubleSpinBox* MinSize() const { return m_min; }
  QComboBox* MinUnit() const { return m_minUnit; }
  QCheckBox* WithinOn() const { return m_withinOn; }
  QSpinBox* Within() const { return m_within; }
  QComboBox* WithinUnit() const { return m_withinUnit; }
  QCheckBox* WholeWord() const { return m_word; }
  QCheckBox* OneFileSystem() const { return m_oneFs; }

 private:
  QPlainTextEdit* m_exclude = nullptr;
  QCheckBox* m_minOn = nullptr;
  QDoubleSpinBox* m_min = nullptr;
  QComboBox* m_minUnit = nullptr;
  QCheckBox* m_maxOn = nullptr;
  QDoubleSpinBox* m_max = nullptr;
  QComboBox* m_maxUnit = nullptr;
  QCheckBox* m_withinOn = nullptr;
  QSpinBox* m_within = nullptr;
  QComboBox* m_withinUnit = nullptr;
  QCheckBox* m_afterOn = nullptr;
  QDateTimeEdit* m_after = nullptr;
  QCheckBox* m_beforeOn = nullptr;
  QDateTimeEdit* m_before = nullptr;
  QCheckBox* m_word = nullptr;
  QCheckBox* m_oneFs = nullptr;
};

}  // namespace findlark
