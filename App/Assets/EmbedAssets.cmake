# Writes OUTPUT, a C++ source defining kilnview::assets::text(name) over the files in INPUTS
# (separated by "|").
# Each file becomes a raw string literal; a file holding the delimiter is refused.
string(REPLACE "|" ";" INPUTS "${INPUTS}")
set(delimiter "KILNVIEW_ASSET")
set(body "// Generated from App/Assets; do not edit.\n#include <string_view>\n\nnamespace kilnview::assets {\n\nstd::string_view text(std::string_view name) {\n")
foreach(input IN LISTS INPUTS)
  get_filename_component(name ${input} NAME)
  file(READ ${input} content)
  string(FIND "${content}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${input} contains the raw string delimiter")
  endif()
  string(APPEND body "    if (name == \"${name}\") return R\"${delimiter}(${content})${delimiter}\";\n")
endforeach()
string(APPEND body "    return {};\n}\n\n}  // namespace kilnview::assets\n")
file(WRITE ${OUTPUT} "${body}")
