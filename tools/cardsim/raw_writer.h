// Writes a raw-disk card image the way the recorder lays out its card.
#pragma once

#include <cstdint>
#include <string>

#include "scenario.h"

struct RawWriteSummary {
  uint64_t frames = 0;        // frames stored, all channels
  uint64_t fragments = 0;     // fragment records
  uint64_t iframes = 0;       // I-frame records
  uint64_t bytesWritten = 0;  // bytes put into the image
  uint64_t imageSize = 0;     // length of the image file
};

// Writes the image at `path` (replaced if it exists) as a sparse file. When
// manifestPath is not empty, also writes a JSON description of every
// fragment and frame (time, kind, address, size, CRC-32 of the bytes) there.
// False with *error set on a bad option or when the recordings do not fit.
bool writeRawCard(const Scenario &scenario, const std::string &path,
                  const std::string &manifestPath, RawWriteSummary *summary, std::string *error);

// The options of the "raw" object, for --help.
const char *rawLayoutHelp();
