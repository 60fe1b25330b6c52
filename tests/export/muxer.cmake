# The MP4 muxer, read back with libavformat.
add_library(qmx_export_testmedia STATIC ${CMAKE_CURRENT_SOURCE_DIR}/media.cpp)
target_include_directories(qmx_export_testmedia PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(qmx_export_testmedia PUBLIC qmx_test_media PkgConfig::FFMPEG)

add_executable(export_muxer_test ${CMAKE_CURRENT_SOURCE_DIR}/muxer_test.cpp)
target_link_libraries(export_muxer_test PRIVATE qmx_muxer qmx_export_testmedia GTest::gtest_main)
gtest_discover_tests(export_muxer_test PROPERTIES ENVIRONMENT "${TEST_ENV}")

# Simulator cards for the export routine and the download worker.
if(TARGET cardsim AND TARGET qmx_platform AND TARGET qmx_storage_raw AND TARGET qmx_storage_file)
  add_library(qmx_export_simcard STATIC ${CMAKE_CURRENT_SOURCE_DIR}/simcard.cpp)
  target_include_directories(qmx_export_simcard PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(qmx_export_simcard PRIVATE CARDSIM_PATH="$<TARGET_FILE:cardsim>")
  target_link_libraries(qmx_export_simcard PUBLIC qmx_platform qmx_storage_raw qmx_storage_file
                        Qt5::Core)
  add_dependencies(qmx_export_simcard cardsim)

  add_executable(export_channel_test ${CMAKE_CURRENT_SOURCE_DIR}/export_channel_test.cpp)
  target_link_libraries(export_channel_test PRIVATE qmx_muxer qmx_export_simcard
                        qmx_export_testmedia GTest::gtest_main)
  gtest_discover_tests(export_channel_test PROPERTIES ENVIRONMENT "${TEST_ENV}")
endif()

# cardtool export and dump, run as a program.
if(TARGET cardtool AND TARGET qmx_export_simcard)
  add_executable(export_cardtool_test ${CMAKE_CURRENT_SOURCE_DIR}/cardtool_export_test.cpp)
  target_compile_definitions(export_cardtool_test PRIVATE CARDTOOL_PATH="$<TARGET_FILE:cardtool>")
  target_link_libraries(export_cardtool_test PRIVATE qmx_export_simcard qmx_export_testmedia
                        qmx_muxer GTest::gtest_main Qt5::Core)
  add_dependencies(export_cardtool_test cardtool)
  gtest_discover_tests(export_cardtool_test PROPERTIES ENVIRONMENT "${TEST_ENV}")
endif()
