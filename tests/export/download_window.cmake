# The download list window, alone and opened from the main window (Qt Test, headless).
if(TARGET qmx_download_window AND TARGET qmx_app)
  add_executable(export_download_window_test
                 ${CMAKE_CURRENT_SOURCE_DIR}/download_window_test.cpp)
  set_target_properties(export_download_window_test PROPERTIES AUTOMOC ON)
  target_link_libraries(export_download_window_test PRIVATE qmx_download_window qmx_app
                        Qt5::Test)
  add_test(NAME export_download_window_test COMMAND export_download_window_test)
  set_tests_properties(export_download_window_test PROPERTIES ENVIRONMENT "${TEST_ENV}")
endif()
