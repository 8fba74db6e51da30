# The pieces of the GUI tests. Included by platform/linux/gtk/CMakeLists.txt,
# so only when the front-end is built; tests/CMakeLists.txt makes the test
# programs themselves and links each one's varo_test_extra_<name>.
file(GLOB VARO_GUI_TEST_SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/support/*.cpp)
find_package(GTest REQUIRED)
add_library(varo_gui_test_support STATIC ${VARO_GUI_TEST_SUPPORT_SOURCES})
target_include_directories(varo_gui_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varo_gui_test_support PUBLIC varo_gtk varo_test_support GTest::gtest)
set(VARO_GUI_OUTPUT_DIR ${CMAKE_BINARY_DIR}/tests/gui-output)
target_compile_definitions(varo_gui_test_support PUBLIC
  VARO_GUI_TESTS=1
  VARO_PROGRAM_DIR="${VARO_PROGRAM_DIR}"
  VARO_SKIN_SOURCE_DIR="${PROJECT_SOURCE_DIR}/skin"
  VARO_GUI_OUTPUT_DIR="${VARO_GUI_OUTPUT_DIR}")
# The programs the tests run: built before any test program links this.
add_dependencies(varo_gui_test_support varo_skin)
foreach(program varo-update varo-demo-server)
  if(TARGET ${program})
    add_dependencies(varo_gui_test_support ${program})
  endif()
endforeach()
if(TARGET varo_demo_server)
  target_link_libraries(varo_gui_test_support PUBLIC varo_demo_server)
  target_compile_definitions(varo_gui_test_support PUBLIC VARO_DEMO_SERVER=1)
endif()
if(TARGET varo-update)
  target_compile_definitions(varo_gui_test_support PUBLIC VARO_UPDATE_PROGRAM="$<TARGET_FILE:varo-update>")
endif()

file(GLOB VARO_GUI_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
foreach(source ${VARO_GUI_TEST_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  add_library(varo_test_extra_${name} INTERFACE)
  target_link_libraries(varo_test_extra_${name} INTERFACE varo_gui_test_support)
endforeach()
