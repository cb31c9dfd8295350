# Our own targets compile warning-free; third-party headers come in as system includes.
# MSVC gets its level-4 warnings, shown but not made errors: no MSVC build is checked here.
function(fwl_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
endfunction()
