# Locator and line-buffer tests; included from this folder's CMakeLists.txt.
include(GoogleTest)
add_executable(client_locator_tests ${CMAKE_CURRENT_LIST_DIR}/CodexLocatorTest.cpp)
target_link_libraries(client_locator_tests PRIVATE client Qt6::Core GTest::gtest_main)
gtest_discover_tests(client_locator_tests DISCOVERY_TIMEOUT 30)

add_executable(client_line_buffer_tests ${CMAKE_CURRENT_LIST_DIR}/JsonLineBufferTest.cpp)
target_link_libraries(client_line_buffer_tests PRIVATE client Qt6::Core GTest::gtest_main)
gtest_discover_tests(client_line_buffer_tests DISCOVERY_TIMEOUT 30)
