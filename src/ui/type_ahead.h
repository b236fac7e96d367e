#pragma once

#include <QElapsedTimer>
#include <QString>
#include <string>

namespace findlark {

// Letters typed in quick succession make one prefix; after a pause a new one starts.
class TypeAhead {
 public:
  // Adds `typed`; gives the prefix so far, folded, and whether it extends the one before.
  std::string Type(const QString& typed, bool* extending);
  void Clear() { typed_.clear(); }

 private:
  QString typed_;
  QElapsedTimer clock_;
};

}  // namespace findlark
