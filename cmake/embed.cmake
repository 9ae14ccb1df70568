# Turns a text file into a header holding it as a constexpr string, so the engine
# never reads its configuration from disk. Re-runs when the source file changes.
function(yoxa_embed_text source header symbol)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
  file(READ "${source}" YOXA_TEXT)
  string(FIND "${YOXA_TEXT}" ")yoxa_embed\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${source} contains the raw-string delimiter")
  endif()
  file(WRITE "${header}.tmp"
    "#pragma once\n// Generated from ${source}; do not edit.\n#include <string_view>\n"
    "inline constexpr std::string_view ${symbol} = R\"yoxa_embed(${YOXA_TEXT})yoxa_embed\";\n")
  file(COPY_FILE "${header}.tmp" "${header}" ONLY_IF_DIFFERENT)
endfunction()
