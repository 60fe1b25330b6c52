# Silent AAC filler tests.
add_executable(silent_aac_test ${CMAKE_CURRENT_LIST_DIR}/silent_aac_test.cpp)
target_link_libraries(silent_aac_test PRIVATE qmx_silentaac GTest::gtest_main)
gtest_discover_tests(silent_aac_test PROPERTIES ENVIRONMENT "${TEST_ENV}")
