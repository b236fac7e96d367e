#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <string>

namespace findlark::testing {

// A scratch folder for one test, removed with everything in it when the object goes away.
class TestTree {
 public:
  TestTree() {
    root_ = (std::filesystem::temp_directory_path() / "findlark-test-XXXXXX").string();
    if (mkdtemp(root_.data()) == nullptr) throw std::runtime_error("mkdtemp");
  }
  // Through the shell: folders locked by a test, and chains deeper than PATH_MAX, go too.
  ~TestTree() {
    const std::string q = "'" + root_ + "'";
    [[maybe_unused]] int rc =
        std::system(("chmod -R u+rwx " + q + " 2>/dev/null; rm -rf " + q).c_str());
  }
  TestTree(const TestTree&) = delete;
  TestTree& operator=(const TestTree&) = delete;

  const std::string& root() const { return root_; }
  std::string Path(const std::string& rel) const { return root_ + "/" + rel; }

  // Makes parent folders.
  void Write(const std::string& rel, const std::string& content = "hello") const {
    std::filesystem::create_directories(std::filesystem::path(Path(rel)).parent_path());
    std::ofstream out(Path(rel), std::ios::binary);
    if (!(out << content).flush()) throw std::runtime_error("write " + rel);
  }
  void Stamp(const std::string& rel, time_t mtime) const {
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    utimensat(AT_FDCWD, Path(rel).c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  // One entry a string: "a/b=text" a file ("a/b" alone holds "hello"), "a/" a folder, "a|" a
  // FIFO, "a->target" a symbolic link; "a>b" renames a to b.
  void Build(std::initializer_list<std::string> entries) const {
    for (const std::string& e : entries) {
      if (const size_t arrow = e.find("->"); arrow != std::string::npos) {
        Symlink(e.substr(arrow + 2), e.substr(0, arrow));
      } else if (const size_t to = e.find('>'); to != std::string::npos) {
        std::filesystem::rename(Path(e.substr(0, to)), Path(e.substr(to + 1)));
      } else if (e.ends_with('/')) {
        MkdirP(e);
      } else if (e.ends_with('|')) {
        Mkfifo(e.substr(0, e.size() - 1));
      } else if (const size_t eq = e.find('='); eq != std::string::npos) {
        Write(e.substr(0, eq), e.substr(eq + 1));
      } else {
        Write(e);
      }
    }
  }
  void MkdirP(const std::string& rel) const { std::filesystem::create_directories(Path(rel)); }
  void Symlink(const std::string& target, const std::string& rel) const {
    std::filesystem::create_symlink(target, Path(rel));
  }
  void Mkfifo(const std::string& rel) const {
    if (mkfifo(Path(rel).c_str(), 0644) != 0) throw std::runtime_error("mkfifo " + rel);
  }
  std::string Read(const std::string& rel) const {
    std::ifstream in(Path(rel), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

 private:
  std::string root_;
};

}  // namespace findlark::testing
