#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace findlark::testing {

// A scratch folder for one test, removed with everything in it (permissions restored first,
// any depth) when the object goes away. Relative paths below are taken inside the folder.
class TestTree {
 public:
  TestTree();
  ~TestTree();
  TestTree(const TestTree&) = delete;
  TestTree& operator=(const TestTree&) = delete;

  const std::string& root() const { return root_; }
  std::string Path(std::string_view rel) const;

  void MkdirP(std::string_view rel) const;
  void Write(std::string_view rel, std::string_view content) const;  // makes parent folders
  void Symlink(std::string_view target, std::string_view rel) const;
  void Mkfifo(std::string_view rel) const;
  void Chmod(std::string_view rel, mode_t mode) const;
  void SetMtime(std::string_view rel, time_t when) const;
  // A chain of `depth` nested folders each called `name`, below `rel`; works past PATH_MAX.
  void MakeChain(std::string_view rel, int depth, std::string_view name) const;

 private:
  std::string root_;
};

// Removes a folder and everything below it, at any depth, restoring permissions on the way.
void RemoveTree(const std::string& path);

}  // namespace findlark::testing
