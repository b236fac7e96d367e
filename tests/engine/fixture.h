#pragma once

#include <zlib.h>

#include <stdexcept>
#include <string>

namespace findlark::testing {

// The bytes of a file under tests/engine/fixtures; the large ones are kept gzipped, and zlib
// reads the others unchanged.
inline std::string ReadFixture(const std::string& name) {
  gzFile in = gzopen((FINDLARK_FIXTURE_DIR "/" + name).c_str(), "rb");
  if (in == nullptr) throw std::runtime_error("no fixture " + name);
  std::string bytes;
  char buffer[1 << 16];
  for (int n; (n = gzread(in, buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
  gzclose(in);
  return bytes;
}

}  // namespace findlark::testing
