#include "notice.h"

#include <QTimer>
#include <algorithm>

Notice::Notice(QWidget *window) : QLabel(window) {
  setObjectName("label_diskMessage");
  setAlignment(Qt::AlignCenter);
  setWordWrap(true);
  setStyleSheet("background-color: rgba(0, 0, 0, 180); color: white; border-radius: 8px;"
                " font-size: 14pt; padding: 10px;");
  timer = new QTimer(this);
  timer->setSingleShot(true);
  connect(timer, &QTimer::timeout, this, &QWidget::hide);
  hide();
}

void Notice::say(const QString &text, int ms) {
  setText(text);
  QWidget *window = parentWidget();
  const int width = std::min(560, std::max(300, window->width() - 40));
  setFixedWidth(width);
  setFixedHeight(std::max(48, heightForWidth(width)));
  move((window->width() - width) / 2, (window->height() - height()) / 2);
  raise();
  show();
  timer->start(std::max(ms, 60 * text.size()));
}
