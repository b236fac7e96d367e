// Writes the fuzzers' seed corpus: the tests' small office documents, and a few texts.
//   fuzz_seeds DIR  ->  DIR/document_text/*, DIR/line_matcher/*
#include <filesystem>
#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_seeds DIR\n";
    return 2;
  }
  namespace fs = std::filesystem;
  const fs::path dir = argv[1];
  fs::create_directories(dir / "document_text");
  fs::create_directories(dir / "line_matcher");
  for (const char* name : {"docx", "xlsx", "pptx", "odt", "ods", "epub", "epub-dtd", "zip"})
    fs::copy_file(fs::path(FINDLARK_FIXTURE_DIR) / name, dir / "document_text" / name,
                  fs::copy_options::overwrite_existing);
  // Chunk byte, query-length byte, query, text.
  auto write = [&](const char* name, const std::string& bytes) {
    std::ofstream(dir / "line_matcher" / name, std::ios::binary) << bytes;
  };
  write("crlf", std::string("\x03\x04") + "gammalpha\r\nbeta GAMMA\r\n");
  write("utf8", std::string("\x01\x03") +
                    "étéL'ÉTÉ\nété\x1A"
                    "été");
  write("plain", std::string("\x10\x02") + "abxx\nyyAB\n");
  return 0;
}
