#pragma once

#include <expat.h>
#include <minizip/unzip.h>

namespace findlark {

// The functions office documents are read with, by library: the one list that both the table
// below and its loading go by.
#define FINDLARK_XML_FUNCTIONS(F) \
  F(XML_ParserCreate_MM)          \
  F(XML_ParserFree)               \
  F(XML_SetUserData)              \
  F(XML_SetParamEntityParsing)    \
  F(XML_SetEntityDeclHandler)     \
  F(XML_SetElementHandler)        \
  F(XML_SetCharacterDataHandler)  \
  F(XML_SetSkippedEntityHandler)  \
  F(XML_StopParser)               \
  F(XML_Parse)                    \
  F(XML_GetBuffer)                \
  F(XML_ParseBuffer)
#define FINDLARK_ZIP_FUNCTIONS(F) \
  F(unzOpen2_64)                  \
  F(unzClose)                     \
  F(unzGoToFirstFile)             \
  F(unzGoToNextFile)              \
  F(unzGetCurrentFileInfo64)      \
  F(unzGetFilePos64)              \
  F(unzGoToFilePos64)             \
  F(unzOpenCurrentFile)           \
  F(unzReadCurrentFile)           \
  F(unzCloseCurrentFile)

// The XML and zip libraries, loaded the first time a document is met rather than at every
// start of the program: loading them costs a search some 0.6 ms, mostly page faults, and most
// searches never meet a document.
struct DocumentLibraries {
#define FINDLARK_MEMBER(name) decltype(&::name) name = nullptr;
  FINDLARK_XML_FUNCTIONS(FINDLARK_MEMBER)
  FINDLARK_ZIP_FUNCTIONS(FINDLARK_MEMBER)
#undef FINDLARK_MEMBER
};

// Loaded once for the whole process; null when either library or one of its functions is
// missing, which the package's dependencies rule out.
const DocumentLibraries* LoadDocumentLibraries();

}  // namespace findlark
