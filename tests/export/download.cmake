# The download worker under a Qt event loop, on simulator cards.
if(TARGET qmx_download AND TARGET qmx_export_simcard)
  add_executable(export_download_test ${CMAKE_CURRENT_SOURCE_DIR}/download_test.cpp)
  set_target_properties(export_download_test PROPERTIES AUTOMOC ON)
  target_link_libraries(export_download_test PRIVATE qmx_download qmx_export_simcard
                        qmx_export_testmedia GTest::gtest Qt5::Core)
  gtest_discover_tests(export_download_test PROPERTIES ENVIRONMENT "${TEST_ENV}")
endif()
