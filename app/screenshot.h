// Unattended pictures of the window for documentation and demos: after the
// window is up, optionally choose a disk, a day and a fragment and start
// play, then save the window to a PNG file and quit. Without a file the
// window stays as it is, for a grab of the real screen (scripts/screenshot).
#pragma once

#include <QDate>
#include <QString>

class test;

struct ScreenshotRequest {
  QString path;        // PNG to write
  QString disk;        // disk chooser entry to pick: its index, or a part of its name
  QDate day;           // day to select, invalid for none
  int fragment = -1;   // fragment button to play, -1 none
  bool play = false;   // press play once the fragment is chosen
};

// Runs the request from the event loop and quits the application with 0
// when the PNG is written, 1 when something asked for is missing.
void scheduleScreenshot(test *window, const ScreenshotRequest &request);
