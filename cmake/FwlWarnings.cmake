# Our own targets compile warning-free; third-party headers come in as system includes.
function(fwl_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
