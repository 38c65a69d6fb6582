# Every target of ours gets the same warning set through this function.
function(krm_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(KRM_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
