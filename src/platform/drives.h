#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <unordered_set>

namespace findlark {

// Kernel and virtual file systems that a whole-machine search never enters.
bool IsPseudoFileSystem(std::string_view fsType);

// The mounted pseudo file systems: where they are, and their devices (as st_dev gives them).
struct PseudoMountTable {
  std::unordered_set<std::string> mountPoints;
  std::unordered_set<dev_t> devices;
};

// Read from a mountinfo text (/proc/self/mountinfo).
PseudoMountTable PseudoMountsFrom(std::string_view mountinfo);
PseudoMountTable PseudoMounts();  // of this machine; empty when unknown

}  // namespace findlark
