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
#define FINDLARK_FIND(library, function) find(library, #function, libs->function)
  FINDLARK_FIND(xml, XML_ParserCreate_MM);
  FINDLARK_FIND(xml, XML_ParserFree);
  FINDLARK_FIND(xml, XML_SetUserData);
  FINDLARK_FIND(xml, XML_SetParamEntityParsing);
  FINDLARK_FIND(xml, XML_SetEntityDeclHandler);
  FINDLARK_FIND(xml, XML_SetElementHandler);
  FINDLARK_FIND(xml, XML_SetCharacterDataHandler);
  FINDLARK_FIND(xml, XML_SetSkippedEntityHandler);
  FINDLARK_FIND(xml, XML_StopParser);
  FINDLARK_FIND(xml, XML_Parse);
  FINDLARK_FIND(xml, XML_GetBuffer);
  FINDLARK_FIND(xml, XML_ParseBuffer);
  FINDLARK_FIND(zip, unzOpen2_64);
  FINDLARK_FIND(zip, unzClose);
  FINDLARK_FIND(zip, unzGoToFirstFile);
  FINDLARK_FIND(zip, unzGoToNextFile);
  FINDLARK_FIND(zip, unzGetCurrentFileInfo64);
  FINDLARK_FIND(zip, unzGetFilePos64);
  FINDLARK_FIND(zip, unzGoToFilePos64);
  FINDLARK_FIND(zip, unzOpenCurrentFile);
  FINDLARK_FIND(zip, unzReadCurrentFile);
  FINDLARK_FIND(zip, unzCloseCurrentFile);
#undef FINDLARK_FIND
  return all ? std::move(libs) : nullptr;
}

}  // namespace

const DocumentLibraries* LoadDocumentLibraries() {
  static const std::unique_ptr<DocumentLibraries> libs = Load();
  return libs.get();
}

}  // namespace findlark
