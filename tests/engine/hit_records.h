#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "results/result_record.h"

namespace findlark::testing {

// A record for `path` with its extension filled in as the walk does.
inline ResultRecord Hit(std::string path, FileCategory category, std::string size = "1 KB",
                        std::string match = {}) {
  const std::string name = path.substr(path.rfind('/') + 1);
  const size_t dot = name.rfind('.');
  return {std::move(path),  category == kFolders ? "" : std::move(size),          "June 04, 2007",
          std::move(match), dot == std::string::npos ? "" : name.substr(dot + 1), category};
}

// A fresh folder under the system's temporary folder, removed with everything in it.
struct TempDir {
  std::filesystem::path path;
  TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "findlark-XXXXXX").string();
    path = mkdtemp(t.data());
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string File(const std::string& name) const { return (path / name).string(); }
};

inline std::string Slurp(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void Spit(const std::string& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

}  // namespace findlark::testing
