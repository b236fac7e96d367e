// Writes the fuzzers' seed corpus from the tests' own fixture documents:
//   fuzz_seeds DIR  ->  DIR/document_text/*, DIR/line_matcher/*
#include <filesystem>
#include <fstream>
#include <iostream>

#include "office_fixtures.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_seeds DIR\n";
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  auto write = [&](const std::string& sub, const std::string& name, const std::string& bytes) {
    std::filesystem::create_directories(dir / sub);
    std::ofstream(dir / sub / name, std::ios::binary) << bytes;
  };
  for (const auto& [name, bytes] : findlark::testing::SeedDocuments()) {
    write("document_text", name, bytes);
  }
  // Chunk byte, query-length byte, query, text.
  write("line_matcher", "crlf", std::string("\x03\x04") + "gammalpha\r\nbeta GAMMA\r\n");
  write("line_matcher", "utf8",
        std::string("\x01\x03") +
            "étéL'ÉTÉ\nété\x1A"
            "été");
  write("line_matcher", "plain", std::string("\x10\x02") + "abxx\nyyAB\n");
  return 0;
}
