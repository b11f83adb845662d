# Scrambling table of the server link, chosen at configure time.
#
#   encode_table_generate(<table file> <output .cpp>)
#
# The file holds 256 integers (decimal or 0x-prefixed hex) separated by
# whitespace and/or commas; a '#' starts a comment that runs to the end of
# the line. The numbers must be a permutation of 0..255, or configuration
# stops with a message that names the problem.

function(encode_table_generate table_file out_file)
  if(NOT EXISTS "${table_file}")
    message(FATAL_ERROR "ENCODE_TABLE: file not found: ${table_file}")
  endif()
  file(READ "${table_file}" text)
  # Drop comments, then turn commas and whitespace into list separators.
  string(REGEX REPLACE "#[^\n]*" "" text "${text}")
  string(REGEX REPLACE "[ \t\r\n,]+" ";" tokens "${text}")
  list(FILTER tokens EXCLUDE REGEX "^$")

  list(LENGTH tokens count)
  if(NOT count EQUAL 256)
    message(FATAL_ERROR
      "ENCODE_TABLE ${table_file}: holds ${count} numbers, a table needs exactly 256")
  endif()

  set(values "")
  set(index 0)
  foreach(tok IN LISTS tokens)
    if(tok MATCHES "^0[xX][0-9a-fA-F]+$" OR tok MATCHES "^[0-9]+$")
      string(LENGTH "${tok}" toklen)
      if(toklen GREATER 10)
        message(FATAL_ERROR
          "ENCODE_TABLE ${table_file}: entry ${index} (${tok}) is outside 0..255")
      endif()
      math(EXPR v "${tok}")
    else()
      message(FATAL_ERROR
        "ENCODE_TABLE ${table_file}: entry ${index} ('${tok}') is not a decimal or 0x-prefixed hex number")
    endif()
    if(v LESS 0 OR v GREATER 255)
      message(FATAL_ERROR
        "ENCODE_TABLE ${table_file}: entry ${index} (${tok}) is outside 0..255")
    endif()
    if(DEFINED seen_${v})
      message(FATAL_ERROR
        "ENCODE_TABLE ${table_file}: value ${v} occurs twice (entries ${seen_${v}} and ${index}), so the table is not a permutation of 0..255")
    endif()
    set(seen_${v} ${index})
    list(APPEND values "${v}")
    math(EXPR index "${index} + 1")
  endforeach()
  # 256 distinct values in 0..255 are a permutation; nothing is missing.

  set(body "")
  set(col 0)
  foreach(v IN LISTS values)
    string(APPEND body "${v},")
    math(EXPR col "${col} + 1")
    if(col EQUAL 16)
      string(APPEND body "\n    ")
      set(col 0)
    else()
      string(APPEND body " ")
    endif()
  endforeach()

  file(CONFIGURE OUTPUT "${out_file}" @ONLY CONTENT
"// Generated at configure time from @table_file@; do not edit.
#include \"encode_table.h\"

extern \"C\" const unsigned char EncodeArray[256] = {
    ${body}};
")
  if(NOT CMAKE_SCRIPT_MODE_FILE)
    set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY
      CMAKE_CONFIGURE_DEPENDS "${table_file}")
  endif()
endfunction()
