# quarne_program(<name> SOURCES <src>... [LIBS <lib>...])
#
# Builds the board program <name> and, with QUARNE_SANDBOX_PROGRAMS, a copy of
# it in ${CMAKE_BINARY_DIR}/sandbox/ that is the same object code linked with
# the sandbox path module: it opens every board path ("/dev/mem",
# "//dev//ttyS1", "/quarne/...") below ./board of its working directory.
function(quarne_program name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name}_obj OBJECT ${P_SOURCES})
  quarne_warnings(${name}_obj)
  target_link_libraries(${name}_obj PUBLIC ${P_LIBS})

  add_executable(${name} $<TARGET_OBJECTS:${name}_obj>)
  target_link_libraries(${name} PRIVATE ${P_LIBS} sandbox_off)
  if(QUARNE_STATIC_PROGRAMS)
    target_link_options(${name} PRIVATE -static)
  endif()
  install(TARGETS ${name} RUNTIME DESTINATION bin)

  if(QUARNE_SANDBOX_PROGRAMS)
    add_executable(${name}_sandbox $<TARGET_OBJECTS:${name}_obj>)
    target_link_libraries(${name}_sandbox PRIVATE ${P_LIBS} sandbox_on)
    set_target_properties(${name}_sandbox PROPERTIES
      OUTPUT_NAME ${name}
      RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/sandbox")
    if(QUARNE_STATIC_PROGRAMS)
      target_link_options(${name}_sandbox PRIVATE -static)
    endif()
  endif()
endfunction()
