// What closing the main window does while exports are queued or running:
// the user is asked whether to wait for them or to cancel them. Waiting
// keeps the window open and closes it as soon as the last export ends;
// cancelling stops the running export within a frame (its temporary file is
// removed) and lets the window close at once.
#pragma once

class QCloseEvent;
class QWidget;

namespace exportCloseGuard {

enum Choice { Wait, Cancel };
// Asks the user; tests put a function of their own here.
using Asker = Choice (*)(QWidget *window);
extern Asker ask;

// Called from the window's closeEvent: true when the window may close now
// (the event is then accepted), false when it waits (the event is ignored).
bool allowClose(QWidget *window, QCloseEvent *event);

}  // namespace exportCloseGuard
