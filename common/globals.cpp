#include "globals.h"

std::atomic<int> storageV{0};
std::atomic<int> videoType{0};
std::atomic<int> channelNum{0};
std::atomic<int64_t> playStartTime{0};
std::atomic<int64_t> playEndTime{0};
std::atomic<uint8_t> playState{0};
std::atomic<int> playSpeed{10};
std::atomic<int> paneHandle[QMX_MAX_PANES] = {{-1}, {-1}, {-1}, {-1}};
// Set at start-up: play right after a card is chosen opens every pane at
// the card's span.
std::atomic<uint8_t> paneRestart[QMX_MAX_PANES] = {{1}, {1}, {1}, {1}};
std::atomic<int> paneChannel[QMX_MAX_PANES] = {{0}, {1}, {2}, {3}};
std::atomic<int> &demuxerHandle = paneHandle[0];
std::atomic<int> &demuxer2Handle = paneHandle[1];
std::atomic<uint8_t> &demuxerRestart = paneRestart[0];
std::atomic<uint8_t> &demuxer2Restart = paneRestart[1];
std::atomic<int> &demuxerChannel = paneChannel[0];
std::atomic<int> &demuxer2Channel = paneChannel[1];
std::atomic<int64_t> currentVideoTime{0};
std::atomic<int> heardPane{0};
std::atomic<uint64_t> seekOffsetMs{0};
std::atomic<uint32_t> seekGeneration{0};
std::atomic<bool> fixedRatePacing{false};

int qmx_panes_forChannels(int channels) {
  if (channels <= 0) return 0;
  return channels <= 2 ? channels : QMX_MAX_PANES;
}

void qmx_panes_requestRestart(void) {
  for (auto &r : paneRestart) r = 1;
}

void qmx_panes_requestSeek(uint64_t offsetMs) {
  seekOffsetMs = offsetMs;
  seekGeneration.fetch_add(1);
}

QMutex playbackMutex;

QStringList downloadEntries;
QStringList downloadPaths;
QString downloadDir;

QString openCardPath;
QString openCardName;
uint64_t openCardSize = 0;
std::atomic<uint32_t> cardGeneration{0};
