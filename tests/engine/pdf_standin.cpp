// Stands in for the PDF text extractor in the sandbox tests. Its "PDF" names one thing to try
// ("%PDF-write"); it tries it and says on standard output whether that was blocked, in a line
// with the word the tests search for.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

namespace {

bool Attempt(const std::string& what) {
  if (what == "plain") return false;
  if (what == "slow") {  // read ahead of quicker ones
    usleep(300 * 1000);
    return false;
  }
  if (what == "write") return open("/tmp/findlark-standin-wrote", O_WRONLY | O_CREAT, 0644) >= 0;
  if (what == "passwd") return open("/etc/passwd", O_RDONLY) >= 0;
  if (what == "tcp") return socket(AF_INET, SOCK_STREAM, 0) >= 0;
  if (what == "unix") return socket(AF_UNIX, SOCK_STREAM, 0) >= 0;
  if (what == "exec") {
    char* const args[] = {const_cast<char*>("/bin/true"), nullptr};
    execv("/bin/true", args);
    return false;  // only reached when the exec failed
  }
  if (what == "fork") {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    return pid > 0;
  }
  if (what == "signal") return kill(getppid(), 0) == 0;
  if (what == "alloc") {
    void* p =
        mmap(nullptr, size_t{8} << 30, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p != MAP_FAILED;
  }
  if (what == "loop") {
    for (volatile unsigned long i = 0;; i = i + 1) {
    }
  }
  if (what == "sleep") {
    for (;;) pause();
  }
  if (what == "flood") {
    const std::string text(1 << 16, 'k');
    for (;;) fwrite(text.data(), 1, text.size(), stdout);
  }
  if (what == "crash") abort();
  return true;  // unknown: reported as escaped so the test sees it
}

}  // namespace

int main() {
  std::string input{std::istreambuf_iterator<char>(std::cin), {}};
  const std::string what = input.substr(5, input.find('\n') - 5);
  std::cout << what << (Attempt(what) ? " ESCAPED" : " blocked") << " Kingfisher" << std::endl;
  return 0;
}
