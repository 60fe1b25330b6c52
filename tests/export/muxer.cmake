# The MP4 muxer, read back with libavformat.
add_library(qmx_export_testmedia STATIC ${CMAKE_CURRENT_SOURCE_DIR}/media.cpp)
target_include_directories(qmx_export_testmedia PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(qmx_export_testmedia PUBLIC PkgConfig::FFMPEG)

add_executable(export_muxer_test ${CMAKE_CURRENT_SOURCE_DIR}/muxer_test.cpp)
target_link_libraries(export_muxer_test PRIVATE qmx_muxer qmx_export_testmedia GTest::gtest_main)
gtest_discover_tests(export_muxer_test PROPERTIES ENVIRONMENT "${TEST_ENV}")
