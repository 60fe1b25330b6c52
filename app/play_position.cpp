#include "play_position.h"

#include <QCoreApplication>
#include <QDateTime>

QString durationText(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  return QString("%1:%2:%3")
      .arg(seconds / 3600, 2, 10, QChar('0'))
      .arg(seconds / 60 % 60, 2, 10, QChar('0'))
      .arg(seconds % 60, 2, 10, QChar('0'));
}

QString positionText(int64_t pictureMs, int64_t position, int64_t length) {
  const QString span = durationText(position) + "/" + durationText(length);
  if (pictureMs <= 0) return span;
  return QDateTime::fromMSecsSinceEpoch(pictureMs).toString("yyyy-MM-dd hh:mm:ss") + "  " + span;
}

QString frameTimeText(int64_t pictureMs) {
  return QCoreApplication::translate("PlayPosition", "当前帧: %1")
      .arg(QDateTime::fromMSecsSinceEpoch(pictureMs).toString("yyyy-MM-dd hh:mm:ss.zzz"));
}

QString stillFileName(int channel, int64_t pictureMs) {
  return QDateTime::fromMSecsSinceEpoch(pictureMs).toString("yyyyMMdd_hhmmss_zzz") +
         QString("-channel%1.png").arg(channel);
}
