// Small encoded streams for the decoder tests, made with libavcodec.
#pragma once

#include <stdint.h>
#include <vector>

typedef std::vector<uint8_t> Bytes;

// Grey luma level of picture i in the streams below; chroma is neutral.
int fixtureLevel(int i);

// Encodes `count` flat pictures of width x height (picture i at
// fixtureLevel(levelBase + i)) with libx264 (codecId 27) or libx265
// (codecId 173) as a start-code byte stream; one entry per encoded frame,
// the first an I-frame with its parameter sets. Empty on failure.
std::vector<Bytes> encodeVideo(int codecId, int width, int height, int count,
                               int levelBase = 0);

// Encodes `frames` frames of 1024 samples of a 440 Hz tone with FFmpeg's
// AAC encoder at the given rate and channel count; one ADTS frame each.
std::vector<Bytes> encodeAacTone(int sampleRate, int channels, int frames);

// Mean of the luma plane.
double meanLuma(const uint8_t *y, int linesize, int width, int height);
