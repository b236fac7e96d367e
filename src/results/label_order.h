#pragma once

#include <compare>
#include <cstdint>
#include <string_view>

namespace findlark {

// Orders leaf labels as the tree does: byte-wise after the one case fold of matching, then
// byte-wise as they stand, so labels that differ only in case keep a fixed order.
bool LabelLess(std::string_view a, std::string_view b);
int LabelOrder(std::string_view a, std::string_view b);  // <0, 0, >0 in that order

// The first sixteen bytes of a folded label as two big-endian numbers, padded with zeros. No
// label holds a zero byte, so a smaller key means a smaller label; equal keys need LabelOrder.
// Compared word by word in line (an array's == is an out-of-line memcmp, which took a fifth of a
// merge's time), in member order: high first.
struct LeafKey {
  uint64_t high = 0;
  uint64_t low = 0;
  friend bool operator==(const LeafKey&, const LeafKey&) = default;
  friend auto operator<=>(const LeafKey&, const LeafKey&) = default;
};
LeafKey LabelKey(std::string_view label);

}  // namespace findlark
