#include "ui/type_ahead.h"

#include <QApplication>
#include <QByteArray>

#include "search/case_fold.h"

namespace findlark {

std::string TypeAhead::Type(const QString& typed, bool* extending) {
  if (!clock_.isValid() || clock_.elapsed() > QApplication::keyboardInputInterval()) typed_.clear();
  clock_.restart();
  *extending = !typed_.isEmpty();
  typed_ += typed;
  const QByteArray utf8 = typed_.toUtf8();
  return FoldCase(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

}  // namespace findlark
