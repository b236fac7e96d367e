// The least a name search can do: list every folder below a root on N threads (no order, no
// records), counting the names that hold a text (ASCII case ignored). bench/run.sh prints its
// time beside findlark's, so the distance to what the kernel allows shows.
//
//   min_walker THREADS TEXT FOLDER
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_mutex;
std::condition_variable g_cv;
std::vector<std::string> g_todo;
int g_busy = 0;
std::atomic<long> g_found{0};
std::string g_text;

bool Contains(const char* name) {
  const size_t n = std::strlen(name);
  for (size_t i = 0; i + g_text.size() <= n; ++i) {
    size_t k = 0;
    while (k < g_text.size() && std::tolower(static_cast<unsigned char>(name[i + k])) == g_text[k]) ++k;
    if (k == g_text.size()) return true;
  }
  return false;
}

void Work() {
  std::vector<char> buf(32 * 1024);
  std::vector<std::string> found;
  for (;;) {
    std::string dir;
    {
      std::unique_lock lock(g_mutex);
      g_cv.wait(lock, [] { return !g_todo.empty() || g_busy == 0; });
      if (g_todo.empty()) return;
      dir = std::move(g_todo.back());
      g_todo.pop_back();
      ++g_busy;
    }
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    long hits = 0;
    found.clear();
    if (fd >= 0) {
      for (;;) {
        const long n = syscall(SYS_getdents64, fd, buf.data(), buf.size());
        if (n <= 0) break;
        for (long pos = 0; pos < n;) {
          auto* d = reinterpret_cast<dirent64*>(buf.data() + pos);
          pos += d->d_reclen;
          const char* name = d->d_name;
          if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
          if (Contains(name)) ++hits;
          if (d->d_type == DT_DIR) found.push_back(dir + "/" + name);
        }
      }
      close(fd);
    }
    g_found += hits;
    {
      std::lock_guard lock(g_mutex);
      for (std::string& f : found) g_todo.push_back(std::move(f));
      --g_busy;
    }
    g_cv.notify_all();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: min_walker THREADS TEXT FOLDER\n");
    return 2;
  }
  const int threads = std::max(1, std::atoi(argv[1]));
  for (const char* p = argv[2]; *p; ++p) g_text.push_back(static_cast<char>(std::tolower(*p)));
  g_todo.push_back(argv[3]);
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) pool.emplace_back(Work);
  for (std::thread& t : pool) t.join();
  std::printf("%ld\n", g_found.load());
}
