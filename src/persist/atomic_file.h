#pragma once

#include <string>
#include <string_view>

namespace findlark {

// Writes `bytes` to a temporary file beside `path`, flushes it and renames it over `path`, so
// a failure never leaves a half file in place of the old one. On failure returns false and,
// if `error` is given, the system's reason (strerror text).
bool WriteFileAtomically(const std::string& path, std::string_view bytes,
                         std::string* error = nullptr);

}  // namespace findlark
