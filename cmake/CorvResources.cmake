# corv_add_resources(target source.json)
# Compiles the resource source into the module target the host loads; icons
# named by file are looked up beside the source. An ELF module carries the
# image as C++ data behind two exported symbols; a DLL carries it as its
# RCDATA resource CORVRESOURCES, so that it exports nothing but the loader's
# entry points. The compiler runs on the build machine: a cross build names
# it with CORV_RESC_COMMAND (the top-level CMakeLists.txt builds it natively).
function(corv_add_resources target source)
  get_filename_component(abs ${source} ABSOLUTE)
  get_filename_component(dir ${abs} DIRECTORY)
  file(GLOB_RECURSE icon_files CONFIGURE_DEPENDS ${dir}/*.png)
  if(WIN32)
    set(image ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.json)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.rc)
    add_custom_command(OUTPUT ${image}
      COMMAND ${CORV_RESC_COMMAND} ${abs} --image ${image}
      DEPENDS ${CORV_RESC_DEPENDS} ${abs} ${icon_files}
      COMMENT "Compiling resources of ${target}"
      VERBATIM)
    file(WRITE ${rc}.in "CORVRESOURCES RCDATA \"${image}\"\n")
    configure_file(${rc}.in ${rc} COPYONLY)
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${image})
    target_sources(${target} PRIVATE ${rc})
    return()
  endif()
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp)
  add_custom_command(OUTPUT ${out}
    COMMAND corv_resc ${abs} ${out}
    DEPENDS corv_resc ${abs} ${icon_files}
    COMMENT "Compiling resources of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()
