// Process-wide variables shared by the main window and the three workers.
// Each scalar is written and read whole; they are atomics because the window
// writes them on the GUI thread while the workers read them on theirs.
//
// playbackMutex (non-recursive) serialises the playback calls into the
// storage libraries made by the two playback workers, the download worker
// and the window's seeks, and guards downloadEntries, downloadPaths and
// downloadDir. Nobody waits or pauses while holding it; the storage
// libraries take their own locks after it.
#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>

extern std::atomic<int> storageV;          // 1 raw-disk layout, 2 file layout
extern std::atomic<int> videoType;         // 0 H.265, 1 H.264
extern std::atomic<int> channelNum;        // channels of the open card
extern std::atomic<int64_t> playStartTime; // segment to play, Unix seconds
extern std::atomic<int64_t> playEndTime;
extern std::atomic<uint8_t> playState;     // 1 playing, 0 paused or stopped
extern std::atomic<int> playSpeed;         // tenths: 1, 5, 10, 15, 20, 40
extern std::atomic<int> demuxerHandle;     // playback handles, -1 for none
extern std::atomic<int> demuxer2Handle;
extern std::atomic<uint8_t> demuxerRestart;  // restart requests of the panes
extern std::atomic<uint8_t> demuxer2Restart;
extern std::atomic<int> demuxerChannel;    // card channel of each pane
extern std::atomic<int> demuxer2Channel;
extern std::atomic<int64_t> currentVideoTime;  // pane 1's latest video frame, Unix ms

extern QMutex playbackMutex;

// Export entries and the directory each was queued for; guarded by playbackMutex.
extern QStringList downloadEntries;
extern QStringList downloadPaths;
// Current download directory; guarded by playbackMutex.
extern QString downloadDir;

// The card the window has open, for export reports and for refusing
// destinations that lie inside the card. Written by the window when a card
// opens (empty when none is); guarded by playbackMutex.
extern QString openCardPath;  // device or image path, or the volume's directory
extern QString openCardName;  // the card as the disk chooser names it
extern uint64_t openCardSize; // bytes, 0 when unknown
// Bumped by the window each time it opens (or fails to open) a card, so that
// work queued for one card is never done on another.
extern std::atomic<uint32_t> cardGeneration;
