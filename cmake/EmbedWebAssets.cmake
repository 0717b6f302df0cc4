# Writes OUTPUT, a C++ source holding every file of SOURCE_DIR as a byte array, with the lookup
# FindWebAsset() (src/web/WebAssets.h). Run by the build whenever a file under web/ changes.
file(GLOB files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
list(SORT files)
set(arrays "")
set(table "")
set(index 0)
foreach(name ${files})
  if(IS_DIRECTORY ${SOURCE_DIR}/${name})
    continue()
  endif()
  get_filename_component(extension ${name} EXT)
  if(extension STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(extension STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(extension STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(extension STREQUAL ".svg")
    set(type "image/svg+xml")
  elseif(extension STREQUAL ".png")
    set(type "image/png")
  else()
    message(FATAL_ERROR "web/${name}: no content type for '${extension}'")
  endif()
  file(READ ${SOURCE_DIR}/${name} bytes HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
  string(APPEND arrays "const unsigned char kAsset${index}[] = {${bytes}};\n")
  string(APPEND table "    {\"/${name}\", \"${type}\", kAsset${index}, sizeof kAsset${index}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.tmp "// Generated from web/ by cmake/EmbedWebAssets.cmake; do not edit.
#include <string>

#include \"web/WebAssets.h\"

namespace {
${arrays}
const WebAsset kAssets[] = {
${table}};
}  // namespace

const WebAsset* FindWebAsset(const std::string& path) {
  for (const WebAsset& asset : kAssets) {
    if (path == asset.path) return &asset;
  }
  return nullptr;
}
")
# Unchanged output keeps its time stamp, so nothing recompiles for nothing.
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUTPUT}.tmp ${OUTPUT})
file(REMOVE ${OUTPUT}.tmp)
