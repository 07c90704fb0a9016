# tarvo_add_test(<name> SOURCES <files...> LIBS <libs...>)
# Every test runs in a private working directory with its own config home,
# so no test touches the user's settings or a real data.db, and Qt widgets
# use the offscreen platform.
function(tarvo_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
  set(home ${CMAKE_CURRENT_BINARY_DIR}/${name}.home)
  file(MAKE_DIRECTORY ${home})
  add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${home})
  # Leaks inside Qt's own plugins are suppressed; the full allocation stack is
  # needed to see the plugin (Qt's libraries have no frame pointers).
  set(lsan "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:fast_unwind_on_malloc=0")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_CONFIG_HOME=${home}/config;HOME=${home};TARVO_BUILD_DIR=${PROJECT_BINARY_DIR};${lsan}")
endfunction()
