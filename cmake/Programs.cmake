# quarne_program(<name> SOURCES <src>... [LIBS <lib>...])
#
# Builds the board program <name> (not installed: the board gets the image,
# image/CMakeLists.txt). Its sources define the whole program as
# `int <name>_main(int argc, char **argv)`; the program's own `main` (one
# generated line that calls it) lives apart, so that the same object code
# also links into the board's multi-call image (image/).
#
# With QUARNE_SANDBOX_PROGRAMS, a copy in ${CMAKE_BINARY_DIR}/sandbox/ is the
# same object code linked with the sandbox path module: it opens every board
# path ("/dev/mem", "//dev//ttyS1", "/quarne/...") below ./board of its
# working directory.
#
# The program's libraries are kept in the target property QUARNE_LIBS of
# <name>_obj: the image links what each of its programs links.
set(QUARNE_PROGRAM_MAIN_IN "${CMAKE_CURRENT_LIST_DIR}/program_main.cpp.in")

function(quarne_program name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name}_obj OBJECT ${P_SOURCES})
  quarne_warnings(${name}_obj)
  target_link_libraries(${name}_obj PUBLIC ${P_LIBS})
  set_target_properties(${name}_obj PROPERTIES QUARNE_LIBS "${P_LIBS}")

  set(PROGRAM ${name})
  set(entry "${CMAKE_BINARY_DIR}/generated/${name}_main.cpp")
  configure_file("${QUARNE_PROGRAM_MAIN_IN}" "${entry}" @ONLY)

  add_executable(${name} $<TARGET_OBJECTS:${name}_obj> "${entry}")
  quarne_warnings(${name})
  target_link_libraries(${name} PRIVATE ${P_LIBS} sandbox_off)
  quarne_static(${name})

  if(QUARNE_SANDBOX_PROGRAMS)
    add_executable(${name}_sandbox $<TARGET_OBJECTS:${name}_obj> "${entry}")
    quarne_warnings(${name}_sandbox)
    target_link_libraries(${name}_sandbox PRIVATE ${P_LIBS} sandbox_on)
    set_target_properties(${name}_sandbox PROPERTIES
      OUTPUT_NAME ${name}
      RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/sandbox")
    quarne_static(${name}_sandbox)
  endif()
endfunction()

# Board programs link statically in the cross build.
function(quarne_static target)
  if(QUARNE_STATIC_PROGRAMS)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
