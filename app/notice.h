// A message shown over the middle of the window for a while: what went
// wrong with a card, in words a user can act on.
#pragma once

#include <QLabel>

class QTimer;

class Notice : public QLabel {
  Q_OBJECT

 public:
  explicit Notice(QWidget *window);
  // Shows the text for ms milliseconds (a longer text stays longer).
  void say(const QString &text, int ms = 3000);

 private:
  QTimer *timer;
};
