// The window's keys. Each key calls one slot of the window by name, so the
// window keeps one slot per action, whether it comes from a button or a key.
//
//   Space        play / pause
//   Left, Right  15 s back / forward
//   , .          one frame back / forward
//   Page Up/Down previous / next fragment
//   Home         the start of the fragment
//   + -          faster / slower
//   F            the pane under the mouse full screen (again, or Esc: back)
//   M            sound off / on
//   S            still of the pane under the mouse
//   F1           this list
#pragma once

#include <QString>

class QWidget;

// Makes the window's shortcuts (children of the window).
void installShortcuts(QWidget *window);
// The list of keys as shown in the window's help.
QString shortcutHelp();
