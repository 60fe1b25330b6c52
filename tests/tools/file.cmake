# The file-layout writer of the simulator (cardsim_file_test) and the
# file-layout library checked against simulated volumes (storage_file_sim_test).

if(TARGET cardsim_core AND EXISTS ${CMAKE_SOURCE_DIR}/tools/cardsim/file_writer.cpp)
  add_library(cardsim_file_volume STATIC ${CMAKE_CURRENT_SOURCE_DIR}/file_volume.cpp)
  target_include_directories(cardsim_file_volume PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(cardsim_file_volume PUBLIC cardsim_core GTest::gtest ZLIB::ZLIB)

  add_executable(cardsim_file_test ${CMAKE_CURRENT_SOURCE_DIR}/cardsim_file_test.cpp)
  target_link_libraries(cardsim_file_test PRIVATE cardsim_file_volume GTest::gtest_main)
  gtest_discover_tests(cardsim_file_test PROPERTIES ENVIRONMENT "${TEST_ENV}")

  if(TARGET qmx_storage_file AND TARGET qmx_platform
     AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/storage_file_sim_test.cpp)
    add_executable(storage_file_sim_test ${CMAKE_CURRENT_SOURCE_DIR}/storage_file_sim_test.cpp)
    target_link_libraries(storage_file_sim_test PRIVATE cardsim_file_volume qmx_storage_file
                          qmx_platform qmx_common GTest::gtest_main)
    gtest_discover_tests(storage_file_sim_test DISCOVERY_TIMEOUT 60 PROPERTIES ENVIRONMENT "${TEST_ENV}")
  endif()
endif()
