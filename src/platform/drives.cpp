#include "platform/drives.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <charconv>
#include <string>

namespace findlark {
namespace {

// Undoes the octal escapes (\040 for a space, \011, \012, \134) of a mountinfo field.
std::string Unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

}  // namespace

bool IsPseudoFileSystem(std::string_view fsType) {
  static constexpr std::string_view kPseudo[] = {
      "proc",        "sysfs",      "devtmpfs", "devpts",   "cgroup",     "cgroup2", "debugfs",
      "tracefs",     "securityfs", "pstore",   "bpf",      "configfs",   "mqueue",  "hugetlbfs",
      "binfmt_misc", "autofs",     "fusectl",  "efivarfs", "rpc_pipefs", "nsfs",
  };
  for (std::string_view type : kPseudo) {
    if (type == fsType) return true;
  }
  return false;
}

bool IsNetworkFileSystem(std::string_view fsType) {
  static constexpr std::string_view kNetwork[] = {
      "nfs",  "nfs4", "cifs",  "smb3", "smbfs",  "ncpfs",     "afs",
      "ceph", "9p",   "davfs", "coda", "lustre", "glusterfs", "ocfs2",
  };
  // FUSE clients of remote servers; local FUSE file systems (fuseblk for NTFS and exFAT disks,
  // encrypted folders) are searched like any other.
  static constexpr std::string_view kNetworkFuse[] = {
      "sshfs",  "rclone", "gvfsd-fuse", "curlftpfs", "s3fs",      "glusterfs",
      "davfs",  "davfs2", "smbnetfs",   "httpfs",    "httpfs2",   "gcsfuse",
      "goofys", "afpfs",  "ftpfs",      "cloudfuse", "onedriver", "google-drive-ocamlfuse",
      "webdav",
  };
  for (std::string_view type : kNetwork) {
    if (type == fsType) return true;
  }
  if (!fsType.starts_with("fuse.")) return false;
  fsType.remove_prefix(5);
  for (std::string_view type : kNetworkFuse) {
    if (type == fsType) return true;
  }
  return false;
}

namespace {

// "major:minor" as st_dev gives it; 0 when it is not that.
dev_t DeviceOf(std::string_view field) {
  const size_t colon = field.find(':');
  if (colon == std::string_view::npos) return 0;
  unsigned major = 0;
  unsigned minor = 0;
  const char* end = field.data() + field.size();
  if (std::from_chars(field.data(), field.data() + colon, major).ec != std::errc() ||
      std::from_chars(field.data() + colon + 1, end, minor).ptr != end) {
    return 0;
  }
  return makedev(major, minor);
}

}  // namespace

MountTable MountsFrom(std::string_view mountinfo) {
  MountTable mounts;
  bool mayNeverAnswer = false;
  while (!mountinfo.empty()) {
    const size_t eol = mountinfo.find('\n');
    std::string_view line = mountinfo.substr(0, eol);
    mountinfo.remove_prefix(eol == std::string_view::npos ? mountinfo.size() : eol + 1);

    // Fields: id parent major:minor root mount-point options [optional...] - type source ...
    std::string_view fields[5];
    size_t count = 0;
    std::string_view rest = line;
    while (count < 5 && !rest.empty()) {
      const size_t sp = rest.find(' ');
      fields[count++] = rest.substr(0, sp);
      rest.remove_prefix(sp == std::string_view::npos ? rest.size() : sp + 1);
    }
    if (count < 5) continue;
    const size_t sep = rest.find(" - ");
    size_t typeStart;
    if (sep != std::string_view::npos) {
      typeStart = sep + 3;
    } else if (rest.substr(0, 2) == "- ") {  // no options left before the separator
      typeStart = 2;
    } else {
      continue;
    }
    std::string_view type = rest.substr(typeStart);
    type = type.substr(0, type.find(' '));
    mounts.mountPoints.insert(Unescape(fields[4]));
    const bool network = IsNetworkFileSystem(type);
    // systemd's automount for binfmt_misc below /proc brings up nothing that can hang.
    mayNeverAnswer = mayNeverAnswer || network || type == "fuse" || type == "fuseblk" ||
                     type.starts_with("fuse.") ||
                     (type == "autofs" && !fields[4].starts_with("/proc/"));
    if (network) {
      mounts.networkMountPoints.insert(Unescape(fields[4]));
      continue;
    }
    if (!IsPseudoFileSystem(type)) continue;
    mounts.pseudoMountPoints.insert(Unescape(fields[4]));
    if (const dev_t device = DeviceOf(fields[2])) mounts.pseudoDevices.insert(device);
  }
  mounts.mayNeverAnswer = mayNeverAnswer || mounts.mountPoints.empty();
  return mounts;
}

MountTable Mounts() {
  // Plain reads: the first file stream of a process sets up the C++ locales, a third of a
  // millisecond that a search from the command line would wait for.
  const int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  size_t got = 0;
  for (;;) {
    text.resize(got + 16 * 1024);
    const ssize_t r = read(fd, text.data() + got, text.size() - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  close(fd);
  text.resize(got);
  return MountsFrom(text);
}

}  // namespace findlark
