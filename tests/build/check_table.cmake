# cmake -DTABLE=<file> -DOUT=<file> -P check_table.cmake
cmake_minimum_required(VERSION 3.20)
include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/EncodeTable.cmake")
encode_table_generate("${TABLE}" "${OUT}")
file(READ "${OUT}" generated)
message(STATUS "generated: ${generated}")
