# The MP4 muxer and the per-channel export routine that feeds it from an
# open card. Plain functions, no Qt. The routine reads frames through the
# playback handles of both storage libraries; a program that only muxes
# (and so never calls the routine) does not pull those libraries in.
add_library(qmx_muxer STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/muxer.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/export_channel.cpp)
target_include_directories(qmx_muxer PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
# nettle's SHA-256 uses the processor's SHA instructions where there are
# some: the checksum of a long export costs a fraction of its copy.
pkg_check_modules(NETTLE REQUIRED IMPORTED_TARGET nettle)
target_link_libraries(qmx_muxer PUBLIC qmx_common PkgConfig::FFMPEG PRIVATE PkgConfig::NETTLE)
foreach(lib qmx_storage_raw qmx_storage_file)
  if(TARGET ${lib})
    target_link_libraries(qmx_muxer PUBLIC ${lib})
  else()
    # Headers only, so the library still builds while a storage library is
    # missing; linking the export routine then needs it.
    target_include_directories(qmx_muxer PRIVATE
      ${CMAKE_SOURCE_DIR}/storage ${CMAKE_SOURCE_DIR}/storage/raw ${CMAKE_SOURCE_DIR}/storage/file)
  endif()
endforeach()
