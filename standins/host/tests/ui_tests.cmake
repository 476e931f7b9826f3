# The user interface's tests: a test add-on with resources of its own, unit
# tests of the UI library and the resource compiler, and hostsim sessions.
add_library(corv_uiaddon MODULE ${CMAKE_CURRENT_SOURCE_DIR}/ui_addon/uiaddon.cpp)
target_link_libraries(corv_uiaddon PRIVATE corv_addon_glue corv_hostsdk corv_hostui)
set_target_properties(corv_uiaddon PROPERTIES CXX_VISIBILITY_PRESET hidden PREFIX "")
corv_add_resources(corv_uiaddon ${CMAKE_CURRENT_SOURCE_DIR}/ui_addon/resources.json)

# The log is written from several threads: its test runs under the sanitizers.
corv_add_test(NAME host_ui_log_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ui_log_test.cpp
              LIBS corv_hostui nlohmann_json::nlohmann_json SANITIZE)

file(GLOB CORV_UI_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ui_*_test.cpp
                                          ${CMAKE_CURRENT_SOURCE_DIR}/hostsim_*_test.cpp)
list(FILTER CORV_UI_TESTS EXCLUDE REGEX "ui_log_test.cpp$")
foreach(src ${CORV_UI_TESTS})
  get_filename_component(name ${src} NAME_WE)
  corv_add_test(NAME host_${name} SOURCES ${src} ${CMAKE_CURRENT_SOURCE_DIR}/ui_env.cpp
                LIBS corv_hostsim_session corv_hostui corv_resc_format nlohmann_json::nlohmann_json
                TIMEOUT 120)
  add_dependencies(host_${name} corv_uiaddon corv_testaddon hostsim corv_resc)
  target_compile_definitions(host_${name} PRIVATE
    CORV_UIADDON_PATH="$<TARGET_FILE:corv_uiaddon>"
    CORV_TESTADDON_PATH="$<TARGET_FILE:corv_testaddon>"
    CORV_HOST_SAMPLES="${CMAKE_CURRENT_SOURCE_DIR}/../model/samples/"
    CORV_HOSTSIM_PATH="$<TARGET_FILE:hostsim>"
    CORV_RESC_PATH="$<TARGET_FILE:corv_resc>"
    CORV_UI_TESTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
endforeach()
