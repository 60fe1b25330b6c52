// Texts of the play position: the time label under the panes and the
// frame-step label. Times of pictures are card times (Unix ms) shown in
// local time; positions and lengths are durations that do not wrap at 24 h.
#pragma once

#include <QString>
#include <cstdint>

// "hh:mm:ss" for a duration; hours go past 24 (a 25 h span is "25:00:00").
QString durationText(int64_t seconds);
// The time label: the picture's local date and time, then the position in
// the segment over its length: "2026-12-01 10:00:05  00:00:05/00:10:00".
// Without a picture (pictureMs <= 0) only the position and length.
QString positionText(int64_t pictureMs, int64_t position, int64_t length);
// The frame-step label: "当前帧: 2026-12-01 10:00:05.042".
QString frameTimeText(int64_t pictureMs);
// A still's file name from the card channel and the picture's card time:
// "20261201_100005_042-channel0.png".
QString stillFileName(int channel, int64_t pictureMs);
