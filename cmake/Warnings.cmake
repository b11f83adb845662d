# Compiler flags live on the targets.
function(quarne_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
endfunction()
