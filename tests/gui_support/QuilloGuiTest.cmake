find_package(Qt6 REQUIRED COMPONENTS Test)

# quillo_gui_test(name [ISOLATE] SOURCES … DEPS …): a GoogleTest binary with a QApplication; every
# case carries the CTest label "gui" and runs offscreen unless the test names another platform.
function(quillo_gui_test name)
  cmake_parse_arguments(QGT "ISOLATE" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${QGT_SOURCES} ${CMAKE_SOURCE_DIR}/tests/gui_support/GuiTestMain.cpp)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/gui_support)
  target_link_libraries(${name} PRIVATE ${QGT_DEPS} quillo_test_support GTest::gtest Qt6::Widgets Qt6::Test)
  if(QGT_ISOLATE)
    target_compile_definitions(${name} PRIVATE QUILLO_TEST_ISOLATE)
  endif()
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  quillo_target_defaults(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300 LABELS gui ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
