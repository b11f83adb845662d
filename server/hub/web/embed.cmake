# The pages' files (pages/*.css, *.html, *.js) as a C++ source file: each
# file's bytes as they are, a std::string_view named after the file
# (fleet.js: pages::fleet_js, declared in web/pages.h). Run at build time:
#
#   cmake -DOUT=<generated .cpp> -P embed.cmake <file>...
#
# Every byte is written as an escape, so nothing in a file (quotes,
# backslashes, "??" trigraphs, non-ASCII text) can change on the way.
if(NOT OUT)
  message(FATAL_ERROR "embed.cmake: -DOUT=<file> is needed")
endif()

# The file's bytes as string literals of 24 bytes each, one a line.
function(escaped_lines file out_var)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" digits)
  set(lines "\n    \"\"")  # an empty file too is a literal
  set(at 0)
  while(at LESS digits)
    string(SUBSTRING "${hex}" ${at} 48 chunk)
    string(REGEX REPLACE "(..)" "\\\\x\\1" chunk "${chunk}")
    string(APPEND lines "\n    \"${chunk}\"")
    math(EXPR at "${at} + 48")
  endwhile()
  math(EXPR bytes "${digits} / 2")
  set(${out_var} "${lines}" PARENT_SCOPE)
  set(${out_var}_bytes ${bytes} PARENT_SCOPE)
endfunction()

set(defs "")
set(files OFF)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  set(arg "${CMAKE_ARGV${i}}")
  if(files STREQUAL "ON")
    get_filename_component(name "${arg}" NAME)
    string(MAKE_C_IDENTIFIER "${name}" var)
    escaped_lines("${arg}" text)
    string(APPEND defs "// ${name}, ${text_bytes} bytes\n"
           "constexpr char k_${var}[] =${text};\n"
           "static_assert(sizeof k_${var} == ${text_bytes} + 1, \"${name}\");\n"
           "const std::string_view ${var}(k_${var}, sizeof k_${var} - 1);\n\n")
  elseif(files STREQUAL "SCRIPT")
    set(files ON)  # the script itself: the files follow it
  elseif(arg STREQUAL "-P")
    set(files SCRIPT)
  endif()
endforeach()

file(WRITE "${OUT}"
"// Generated from server/hub/web/pages/ by server/hub/web/embed.cmake: do not edit.
#include \"web/pages.h\"

namespace hub {
namespace pages {

${defs}}  // namespace pages
}  // namespace hub
")
