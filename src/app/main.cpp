#include <QCoreApplication>

#include "app/search_app.h"

int main(int argc, char** argv) {
  // The preview pane's browser engine shares its GL context with the widgets.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  findlark::CSearchApp app(argc, argv);
  return app.InitInstance();
}
