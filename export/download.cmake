# The download worker (Qt): queues spans and exports them through the
# per-channel export routine of qmx_muxer.
add_library(qmx_download STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/download.h
  ${CMAKE_CURRENT_SOURCE_DIR}/download.cpp)
set_target_properties(qmx_download PROPERTIES AUTOMOC ON)
target_include_directories(qmx_download PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(qmx_download PUBLIC qmx_globals qmx_muxer Qt5::Core)
if(TARGET qmx_silentaac)
  target_link_libraries(qmx_download PUBLIC qmx_silentaac)
endif()
