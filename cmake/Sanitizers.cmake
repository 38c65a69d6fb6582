if(KRM_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(KRM_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(KRM_SANITIZE STREQUAL "fuzzer")
  # Everything instrumented for libFuzzer's coverage; only the fuzz targets
  # link its main (fuzz/CMakeLists.txt).
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT KRM_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KRM_SANITIZE must be empty, address, thread or fuzzer")
endif()
