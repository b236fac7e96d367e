// A file system that stands for a network share whose server has gone away: its root lists
// "notes report.txt", which never answers a read, then "photos", which never answers a listing.
// Every other call answers at once.
#define FUSE_USE_VERSION 31
#include <errno.h>
#include <fuse.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int Attr(const char* path, struct stat* st, struct fuse_file_info* fi) {
  (void)fi;
  memset(st, 0, sizeof *st);
  if (strcmp(path, "/") == 0 || strcmp(path, "/photos") == 0) {
    st->st_mode = S_IFDIR | 0755;
  } else if (strcmp(path, "/notes report.txt") == 0) {
    st->st_mode = S_IFREG | 0644;
    st->st_size = 4096;
  } else {
    return -ENOENT;
  }
  st->st_nlink = S_ISDIR(st->st_mode) ? 2 : 1;
  return 0;
}

// The server never answers: a listing below the root, or any read.
static void Hang(void) {
  for (;;) pause();
}

static int List(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset,
                struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
  (void)offset, (void)fi, (void)flags;
  if (strcmp(path, "/") != 0) Hang();
  const char* names[] = {".", "..", "notes report.txt", "photos"};
  for (int i = 0; i < 4; i++) fill(buf, names[i], NULL, 0, 0);
  return 0;
}

static int Read(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
  (void)path, (void)buf, (void)size, (void)offset, (void)fi;
  Hang();
  return 0;
}

static const struct fuse_operations kOps = {.getattr = Attr, .readdir = List, .read = Read};

int main(int argc, char* argv[]) {
  return fuse_main(argc, argv, &kOps, NULL);
}
