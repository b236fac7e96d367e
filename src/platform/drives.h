#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

namespace findlark {

// Kernel and virtual file systems that a whole-machine search never enters.
bool IsPseudoFileSystem(std::string_view fsType);

// Mount points of pseudo file systems, read from a mountinfo text (/proc/self/mountinfo).
std::unordered_set<std::string> PseudoMountsFrom(std::string_view mountinfo);
std::unordered_set<std::string> PseudoMounts();  // of this machine; empty when unknown

}  // namespace findlark
