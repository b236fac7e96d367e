#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "search/line_buffer.h"

namespace findlark {

// Reads the text of PDF documents through a separate extractor process (poppler's pdftotext)
// started by findlark-pdf-sandbox: the PDF goes in as the process's standard input, its text
// comes back on a pipe, and the process can do nothing else. A crash, a limit hit or a time-out
// makes that document a quiet no-match, counted in Failures(). Shared by the walk's threads.
class PdfExtractor {
 public:
  struct Limits {
    int seconds = 5;                           // wall clock per document
    int cpuSeconds = 5;
    uint64_t addressSpace = uint64_t{1} << 30;
    uint64_t maxText = uint64_t{32} << 20;     // text taken from one document
  };

  // The installed pdftotext and the sandbox launcher found beside this program (see FindLauncher).
  PdfExtractor();
  PdfExtractor(std::string extractor, std::string launcher, Limits limits);

  // Both the extractor and the launcher can be run.
  bool Available() const;
  const std::string& extractor() const { return extractor_; }
  const Limits& limits() const { return limits_; }
  const std::string& launcher() const { return launcher_; }

  // Documents whose text could not be taken in full: crashes, limits, time-outs.
  size_t Failures() const { return failures_.load(std::memory_order_relaxed); }
  void CountFailure() { failures_.fetch_add(1, std::memory_order_relaxed); }

  // "/usr/bin/pdftotext", or what FINDLARK_PDF_EXTRACTOR names (the tests' stand-in).
  static std::string DefaultExtractor();
  // <dir>/libexec/findlark/findlark-pdf-sandbox for the running program's folder and the three
  // folders above it: /usr/bin gives /usr/libexec, a build's src/cli gives the build's own.
  static std::string FindLauncher();

 private:
  std::string extractor_;
  std::string launcher_;
  Limits limits_;
  std::atomic<size_t> failures_{0};
};

// Which protections the sandbox can apply on this kernel, as one line for --version and the
// About box: "Landlock ABI 7, seccomp, no new privileges, resource limits, time limit".
std::string SandboxProtections();

// What --version and the About box say about PDF text: the extractor and the protections of
// its sandbox, or why PDF documents cannot be searched.
std::string PdfSupportText(const PdfExtractor& extractor);

// One document's text, as a byte source for the line matcher. The extractor starts with the
// first read; Finish ends it (killing it when the text was not read to its end) and counts a
// failure unless the text was read whole or `matched`.
class PdfTextSource final : public ByteSource {
 public:
  PdfTextSource(PdfExtractor& extractor, int fd, const std::atomic<bool>* stop)
      : extractor_(extractor), fd_(fd), stop_(stop) {}
  ~PdfTextSource() override;
  PdfTextSource(const PdfTextSource&) = delete;
  PdfTextSource& operator=(const PdfTextSource&) = delete;

  ssize_t Read(char* out, size_t cap) override;
  void Finish(bool matched);

 private:
  bool Start();
  void Kill();

  PdfExtractor& extractor_;
  int fd_;
  const std::atomic<bool>* stop_;
  pid_t pid_ = -1;
  int pipe_ = -1;
  int64_t deadline_ = 0;  // monotonic milliseconds
  uint64_t taken_ = 0;
  bool started_ = false;
  bool ended_ = false;   // the whole text came
  bool failed_ = false;  // time-out, text cap, start or read failure
  bool finished_ = false;
};

}  // namespace findlark
