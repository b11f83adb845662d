# Fuzzing with libFuzzer, one executable per untrusted input (fuzz/).
#
# With -DQUARNE_FUZZ=ON (preset "fuzz", clang only) every target of the
# build is compiled with the fuzzer's coverage hooks and ASan + UBSan, and
#
#   quarne_fuzz_target(<name> SOURCES <src>... [LIBS <lib>...] [MAX_LEN <n>])
#
# links build/<preset>/fuzz/<name>_fuzz with libFuzzer's main and the sandbox
# path module, so no target can open a real device. MAX_LEN is the longest
# input tools/fuzz.sh lets libFuzzer make for it. Every target is listed in
# build/<preset>/fuzz/targets.txt ("<name> <max_len>" lines) for that script,
# and the target quarne_fuzzers builds them all.
option(QUARNE_FUZZ "Build the libFuzzer targets of fuzz/ (clang, ASan + UBSan)" OFF)

if(QUARNE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QUARNE_FUZZ needs clang (libFuzzer): use the preset 'fuzz'")
  endif()
  if(QUARNE_SANITIZE)
    message(FATAL_ERROR "QUARNE_FUZZ brings its own sanitizers; leave QUARNE_SANITIZE off")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  set(QUARNE_FUZZ_DIR "${CMAKE_BINARY_DIR}/fuzz")
  file(WRITE "${QUARNE_FUZZ_DIR}/targets.txt" "")
  add_custom_target(quarne_fuzzers)
endif()

function(quarne_fuzz_target name)
  cmake_parse_arguments(F "" "MAX_LEN" "SOURCES;LIBS" ${ARGN})
  if(NOT F_MAX_LEN)
    set(F_MAX_LEN 4096)
  endif()
  add_executable(${name}_fuzz ${F_SOURCES})
  target_link_libraries(${name}_fuzz PRIVATE ${F_LIBS} sandbox_on)
  target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
  quarne_warnings(${name}_fuzz)
  set_target_properties(${name}_fuzz PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${QUARNE_FUZZ_DIR}")
  add_dependencies(quarne_fuzzers ${name}_fuzz)
  file(APPEND "${QUARNE_FUZZ_DIR}/targets.txt" "${name} ${F_MAX_LEN}\n")
endfunction()
