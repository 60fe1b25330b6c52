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

// The video panes: up to four, pane i showing card channel paneChannel[i].
// A card of one channel shows pane 1, of two channels panes 1 and 2, of
// three or four channels all four in a grid. Each pane has one playback
// worker; its handle and restart request live here. demuxerHandle and the
// other names of the first two panes are the same variables as elements 0
// and 1.
#define QMX_MAX_PANES 4
extern std::atomic<int> paneHandle[QMX_MAX_PANES];       // playback handles, -1 for none
extern std::atomic<uint8_t> paneRestart[QMX_MAX_PANES];  // open again at playStartTime
extern std::atomic<int> paneChannel[QMX_MAX_PANES];      // card channel of each pane
extern std::atomic<int> &demuxerHandle;
extern std::atomic<int> &demuxer2Handle;
extern std::atomic<uint8_t> &demuxerRestart;
extern std::atomic<uint8_t> &demuxer2Restart;
extern std::atomic<int> &demuxerChannel;
extern std::atomic<int> &demuxer2Channel;
// Card time (Unix ms) of the latest picture handed over by the leading pane:
// the first pane that still plays in the segment.
extern std::atomic<int64_t> currentVideoTime;
// The pane whose channel is heard (0..3); the others play without sound.
extern std::atomic<int> heardPane;
// Seeks of every pane: the window stores the offset from playStartTime (ms)
// and then bumps the generation; each worker repositions its own handle at
// its next pass when it sees a generation it has not served.
extern std::atomic<uint64_t> seekOffsetMs;
extern std::atomic<uint32_t> seekGeneration;
// Start-up option --fixed-rate: pace by a fixed nominal frame rate (one
// picture per 83 ms, one sound frame per 64 ms at 1.0x) instead of the
// frames' time stamps, for recorders whose clocks cannot be trusted.
extern std::atomic<bool> fixedRatePacing;

// Panes that play on a card of `channels` channels: 1, 2 or 4 (0 for none).
int qmx_panes_forChannels(int channels);
// Asks every pane to open again at playStartTime (a new segment, or the
// start of the same one).
void qmx_panes_requestRestart(void);
// Moves every pane to offsetMs after playStartTime (see seekGeneration).
void qmx_panes_requestSeek(uint64_t offsetMs);

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
