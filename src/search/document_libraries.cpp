#include "search/document_libraries.h"

#include <dlfcn.h>

#include <memory>
#include <type_traits>

namespace findlark {
namespace {

// By the names the packages' run-time files carry (their SONAMEs).
constexpr const char* kExpat = "libexpat.so.1";
constexpr const char* kMinizip = "libminizip.so.1";

std::unique_ptr<DocumentLibraries> Load() {
  // Never closed: the functions stay in use until the process ends.
  void* const xml = dlopen(kExpat, RTLD_NOW | RTLD_LOCAL);
  void* const zip = dlopen(kMinizip, RTLD_NOW | RTLD_LOCAL);
  if (xml == nullptr || zip == nullptr) return nullptr;
  auto libs = std::make_unique<DocumentLibraries>();
  bool all = true;
  const auto find = [&all](void* library, const char* name, auto& function) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(library, name));
    all = all && function != nullptr;
  };
#define FINDLARK_FIND_XML(name) find(xml, #name, libs->name);
#define FINDLARK_FIND_ZIP(name) find(zip, #name, libs->name);
  FINDLARK_XML_FUNCTIONS(FINDLARK_FIND_XML)
  FINDLARK_ZIP_FUNCTIONS(FINDLARK_FIND_ZIP)
#undef FINDLARK_FIND_XML
#undef FINDLARK_FIND_ZIP
  return all ? std::move(libs) : nullptr;
}

}  // namespace

const DocumentLibraries* LoadDocumentLibraries() {
  static const std::unique_ptr<DocumentLibraries> libs = Load();
  return libs.get();
}

}  // namespace findlark
