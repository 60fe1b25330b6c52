#include "globals.h"

std::atomic<int> storageV{0};
std::atomic<int> videoType{0};
std::atomic<int> channelNum{0};
std::atomic<int64_t> playStartTime{0};
std::atomic<int64_t> playEndTime{0};
std::atomic<uint8_t> playState{0};
std::atomic<int> playSpeed{10};
std::atomic<int> demuxerHandle{-1};
std::atomic<int> demuxer2Handle{-1};
std::atomic<uint8_t> demuxerRestart{0};
std::atomic<uint8_t> demuxer2Restart{0};
std::atomic<int> demuxerChannel{0};
std::atomic<int> demuxer2Channel{1};
std::atomic<int64_t> currentVideoTime{0};

QMutex playbackMutex;

QStringList downloadEntries;
QStringList downloadPaths;
QString downloadDir;

QString openCardPath;
QString openCardName;
uint64_t openCardSize = 0;
std::atomic<uint32_t> cardGeneration{0};
