#pragma once

#include <expat.h>
#include <minizip/unzip.h>

namespace findlark {

// The XML and zip libraries that office documents are read with, loaded the first time a
// document is met rather than at every start of the program: loading them costs a search some
// 0.6 ms, mostly page faults, and most searches never meet a document.
struct DocumentLibraries {
  decltype(&::XML_ParserCreate_MM) XML_ParserCreate_MM;
  decltype(&::XML_ParserFree) XML_ParserFree;
  decltype(&::XML_SetUserData) XML_SetUserData;
  decltype(&::XML_SetParamEntityParsing) XML_SetParamEntityParsing;
  decltype(&::XML_SetEntityDeclHandler) XML_SetEntityDeclHandler;
  decltype(&::XML_SetElementHandler) XML_SetElementHandler;
  decltype(&::XML_SetCharacterDataHandler) XML_SetCharacterDataHandler;
  decltype(&::XML_SetSkippedEntityHandler) XML_SetSkippedEntityHandler;
  decltype(&::XML_StopParser) XML_StopParser;
  decltype(&::XML_Parse) XML_Parse;
  decltype(&::XML_GetBuffer) XML_GetBuffer;
  decltype(&::XML_ParseBuffer) XML_ParseBuffer;
  decltype(&::unzOpen2_64) unzOpen2_64;
  decltype(&::unzClose) unzClose;
  decltype(&::unzGoToFirstFile) unzGoToFirstFile;
  decltype(&::unzGoToNextFile) unzGoToNextFile;
  decltype(&::unzGetCurrentFileInfo64) unzGetCurrentFileInfo64;
  decltype(&::unzGetFilePos64) unzGetFilePos64;
  decltype(&::unzGoToFilePos64) unzGoToFilePos64;
  decltype(&::unzOpenCurrentFile) unzOpenCurrentFile;
  decltype(&::unzReadCurrentFile) unzReadCurrentFile;
  decltype(&::unzCloseCurrentFile) unzCloseCurrentFile;
};

// Loaded once for the whole process; null when either library or one of its functions is
// missing, which the package's dependencies rule out.
const DocumentLibraries* LoadDocumentLibraries();

}  // namespace findlark
