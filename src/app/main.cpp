#include "app/search_app.h"

int main(int argc, char** argv) {
  findlark::CSearchApp app(argc, argv);
  return app.InitInstance();
}
