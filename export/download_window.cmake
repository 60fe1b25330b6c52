# The download list window (Qt widgets): shows the export entries that the
# download worker keeps, cancels them and changes the download directory.
add_library(qmx_download_window STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/downloadinfo.h
  ${CMAKE_CURRENT_SOURCE_DIR}/downloadinfo.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/downloadinfo.ui
  ${CMAKE_CURRENT_SOURCE_DIR}/close_guard.h
  ${CMAKE_CURRENT_SOURCE_DIR}/close_guard.cpp)
set_target_properties(qmx_download_window PROPERTIES AUTOMOC ON AUTOUIC ON)
# The generated form header is public: the window's tests reach the widgets through it.
target_include_directories(qmx_download_window PUBLIC
  ${CMAKE_CURRENT_SOURCE_DIR}
  ${CMAKE_CURRENT_BINARY_DIR}/qmx_download_window_autogen/include)
target_link_libraries(qmx_download_window PUBLIC qmx_globals qmx_download Qt5::Widgets)
