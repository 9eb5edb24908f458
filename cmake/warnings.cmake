# Every target of ours builds with the same warnings; FWU_WERROR makes them
# errors (CI turns it on).
function(fwu_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(FWU_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
