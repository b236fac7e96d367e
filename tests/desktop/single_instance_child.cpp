// A second start for the single-instance tests: waits for "go" on stdin, claims the key
// given as its argument, prints "won" or "lost", and stays alive until stdin closes so
// that a winner keeps its claim while the others try.
#include <QCoreApplication>
#include <iostream>
#include <string>

#include "platform/single_instance.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) return 2;
  std::string line;
  std::getline(std::cin, line);
  findlark::SingleInstance instance(QString::fromLocal8Bit(argv[1]));
  std::cout << (instance.Claim() ? "won" : "lost") << std::endl;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}
