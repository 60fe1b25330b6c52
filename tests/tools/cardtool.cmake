# cardtool end to end on simulator cards.
add_executable(cardtool_test cardtool_test.cpp)
target_link_libraries(cardtool_test PRIVATE Qt5::Core ZLIB::ZLIB GTest::gtest_main)
target_compile_definitions(cardtool_test PRIVATE CARDTOOL_PATH="$<TARGET_FILE:cardtool>"
                                                 CARDSIM_PATH="$<TARGET_FILE:cardsim>"
                                                 CARDPLAYER_PATH="$<TARGET_FILE:cardplayer>"
                                                 SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(cardtool_test cardtool cardsim cardplayer)
gtest_discover_tests(cardtool_test PROPERTIES ENVIRONMENT "${TEST_ENV}")
