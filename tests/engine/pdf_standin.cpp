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
  if (what == "slow") return usleep(300 * 1000) != 0;  // read ahead of quicker ones
  if (what == "write") return open("/tmp/findlark-standin-wrote", O_WRONLY | O_CREAT, 0644) >= 0;
  if (what == "passwd") return open("/etc/passwd", O_RDONLY) >= 0;
  if (what == "tcp") return socket(AF_INET, SOCK_STREAM, 0) >= 0;
  if (what == "unix") return socket(AF_UNIX, SOCK_STREAM, 0) >= 0;
  if (what == "exec") return execl("/bin/true", "true", nullptr) == 0;  // returns when it failed
  if (what == "fork") {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    return pid > 0;
  }
  if (what == "signal") return kill(getppid(), 0) == 0;
  if (what == "alloc") {
    return mmap(nullptr, size_t{8} << 30, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1,
                0) != MAP_FAILED;
  }
  for (volatile unsigned long i = 0; what == "loop"; i = i + 1) {
  }
  while (what == "sleep") pause();
  while (what == "flood") std::cout << std::string(1 << 16, 'k');
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
