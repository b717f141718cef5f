# RC_SANITIZE=ON builds everything, tests included, with AddressSanitizer and
# UndefinedBehaviorSanitizer; any report ends the process with an error.
option(RC_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(RC_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
  # GCC's own manual warns that the sanitizers' instrumentation makes
  # -Wmaybe-uninitialized report false positives (seen in libstdc++'s
  # std::regex at -O2); the plain builds keep the warning.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()
