# Tests of the simulator (scenarios, media, raw-disk options, command line),
# and of the raw-disk library on simulator-made cards.
add_executable(cardsim_raw_test cardsim_raw_test.cpp)
target_link_libraries(cardsim_raw_test PRIVATE cardsim_core GTest::gtest_main)
target_compile_definitions(cardsim_raw_test PRIVATE CARDSIM_PATH="$<TARGET_FILE:cardsim>")
add_dependencies(cardsim_raw_test cardsim)
gtest_discover_tests(cardsim_raw_test PROPERTIES ENVIRONMENT "${TEST_ENV}")

# The raw-disk library reading simulator-made cards.
if(TARGET qmx_storage_raw)
  add_executable(storage_raw_sim_test storage_raw_sim_test.cpp)
  target_include_directories(storage_raw_sim_test PRIVATE ${PROJECT_SOURCE_DIR}/platform
                             ${PROJECT_SOURCE_DIR}/tests/support)
  target_link_libraries(storage_raw_sim_test PRIVATE cardsim_core qmx_storage_raw qmx_platform
                        GTest::gtest_main)
  target_compile_definitions(storage_raw_sim_test PRIVATE CARDTOOL_PATH="$<TARGET_FILE:cardtool>")
  add_dependencies(storage_raw_sim_test cardtool)
  gtest_discover_tests(storage_raw_sim_test PROPERTIES ENVIRONMENT "${TEST_ENV}")
endif()
