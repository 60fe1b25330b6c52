# Silent AAC filler: plain functions over FFmpeg, no Qt.
add_library(qmx_silentaac STATIC ${CMAKE_CURRENT_LIST_DIR}/silent_aac.cpp)
target_include_directories(qmx_silentaac PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qmx_silentaac PUBLIC PkgConfig::FFMPEG)
