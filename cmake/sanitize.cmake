# RC_SANITIZE=ON builds everything, tests included, with AddressSanitizer and
# UndefinedBehaviorSanitizer; any report ends the process with an error.
option(RC_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(RC_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
