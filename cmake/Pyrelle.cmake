# Shared build settings: warnings and sanitizers for every Pyrelle target.
add_library(pyrelle_options INTERFACE)
target_compile_options(pyrelle_options INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wno-missing-field-initializers>
  $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra>)
if(PYRELLE_SANITIZE)
  add_compile_options(-fsanitize=${PYRELLE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=${PYRELLE_SANITIZE})
endif()

# pyrelle_library_sources(<out-var> <dir>): every C/C++ source below <dir>.
function(pyrelle_library_sources out dir)
  file(GLOB_RECURSE found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  set(${out} ${found} PARENT_SCOPE)
endfunction()
