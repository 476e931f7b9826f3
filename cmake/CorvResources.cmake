# corv_add_resources(target source.json)
# Compiles the resource source into C++ embedded in target (a module the host
# loads); icons named by file are looked up beside the source.
function(corv_add_resources target source)
  get_filename_component(abs ${source} ABSOLUTE)
  get_filename_component(dir ${abs} DIRECTORY)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp)
  file(GLOB_RECURSE icon_files CONFIGURE_DEPENDS ${dir}/*.png)
  add_custom_command(OUTPUT ${out}
    COMMAND corv_resc ${abs} ${out}
    DEPENDS corv_resc ${abs} ${icon_files}
    COMMENT "Compiling resources of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()
