# corv_host_header_library(TARGET FOLDER)
# A header-only library that Debian installs for the build machine, used by
# the cross build: an imported target whose include folder holds nothing but
# a link to /usr/include/FOLDER, so that `#include <FOLDER/...>` finds the
# library while the build machine's other headers (its C library, Boost,
# libpng) stay out of the target's search path.
function(corv_host_header_library target folder)
  if(NOT IS_DIRECTORY /usr/include/${folder})
    message(FATAL_ERROR "/usr/include/${folder} is missing: run scripts/install-deps.sh")
  endif()
  set(dir ${CMAKE_BINARY_DIR}/host-headers/${folder})
  file(MAKE_DIRECTORY ${dir})
  file(CREATE_LINK /usr/include/${folder} ${dir}/${folder} SYMBOLIC)
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  target_include_directories(${target} SYSTEM INTERFACE ${dir})
endfunction()
