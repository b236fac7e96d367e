#pragma once

#include <QApplication>

namespace findlark {

// The application: one instance per user and display, running the main window until it ends.
class CSearchApp : public QApplication {
  Q_OBJECT
 public:
  CSearchApp(int& argc, char** argv);

  // Runs the program; returns the process exit code.
  int InitInstance();
};

}  // namespace findlark
