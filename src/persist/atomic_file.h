#pragma once

#include <string>
#include <string_view>

namespace findlark {

// The file a path finally names: symbolic links are followed, even one that dangles, so that
// writing replaces the link's target and the link stays a link. Gives up after 40 links.
std::string FinalTarget(const std::string& path);

// Replaces a file atomically while it is written piece by piece: the bytes go to a temporary
// file beside the final target, which Commit flushes and renames over it. A failure (or a
// writer that is destroyed uncommitted) leaves the old file as it was and no temporary behind.
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  bool Open(const std::string& path);
  // Buffered; false once any write has failed.
  bool Write(std::string_view bytes);
  bool Commit();
  // The system's reason (strerror text) for the first failure.
  const std::string& Error() const { return error_; }

 private:
  bool Flush();
  bool Fail(int code);
  void Discard();

  std::string target_;
  std::string tempPath_;
  std::string buffer_;
  int fd_ = -1;
  int code_ = 0;
  std::string error_;
};

// Writes `bytes` as above in one go. On failure returns false and, if `error` is given, the
// system's reason.
bool WriteFileAtomically(const std::string& path, std::string_view bytes,
                         std::string* error = nullptr);

// Whether WriteFileAtomically could replace or create `path` now: it names (through any links)
// a regular file that may be written, or nothing yet, in a folder where a file can be created.
// Tried by creating and removing a temporary file, so a read-only or full folder shows up.
bool CheckWritable(const std::string& path, std::string* error = nullptr);

}  // namespace findlark
