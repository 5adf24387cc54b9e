# Every object of the fuzz build carries libFuzzer's coverage hooks and both sanitizers; the
# targets add the fuzzer's own main when they link. Any sanitizer report ends the run.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "The fuzz build needs clang: configure it with -DCMAKE_CXX_COMPILER=clang++")
endif()
set(BITLAY_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
add_compile_options(-fsanitize=fuzzer-no-link ${BITLAY_SANITIZERS})
add_link_options(-fsanitize=address,undefined)
