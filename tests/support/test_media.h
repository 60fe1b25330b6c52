// Small real streams for tests, encoded with libavcodec: H.264 and H.265
// access units in start-code form and ADTS AAC-LC frames.
#pragma once

#include <stdint.h>
#include <vector>

typedef std::vector<uint8_t> Bytes;

// Luma of fixture picture i (flat grey, neutral chroma).
inline int fixtureLevel(int i) { return 32 + 12 * i; }

// `count` pictures (picture i at fixtureLevel(levelBase + i)) encoded with
// libx264 (codecId 27) or libx265 (173) as start-code byte streams, one
// entry per frame, only the first an I-frame.
std::vector<Bytes> encodeVideo(int codecId, int width, int height, int count,
                               int levelBase = 0);

// `frames` x 1024 samples of a half-scale 440 Hz tone, AAC-LC, one ADTS
// frame per entry.
std::vector<Bytes> encodeAacTone(int sampleRate, int channels, int frames);

double meanLuma(const uint8_t *y, int linesize, int width, int height);
