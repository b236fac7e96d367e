#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <unordered_set>

namespace findlark {

// Kernel and virtual file systems that a whole-machine search never enters.
bool IsPseudoFileSystem(std::string_view fsType);

// Clients of a server elsewhere (NFS, SMB, sshfs and the like), which a whole-machine search
// leaves out: a server that has gone away holds whoever looks in for good.
bool IsNetworkFileSystem(std::string_view fsType);

// The mounted pseudo file systems, where they are and their devices (as st_dev gives them), and
// where network file systems are mounted.
struct MountTable {
  std::unordered_set<std::string> pseudoMountPoints;
  std::unordered_set<dev_t> pseudoDevices;
  std::unordered_set<std::string> networkMountPoints;
  std::unordered_set<std::string> mountPoints;  // every one
  // Something mounted may keep whoever looks in waiting for good: a network file system, any
  // FUSE one (its daemon may stop answering) or an automount point, through which any of them
  // may come up. Also so when the table could not be read.
  bool mayNeverAnswer = true;
};

// Read from a mountinfo text (/proc/self/mountinfo), which never calls into a file system, so a
// dead server cannot hold it.
MountTable MountsFrom(std::string_view mountinfo);
MountTable Mounts();  // of this machine; empty when unknown

}  // namespace findlark
