// The simulator's file-layout writer: turns a scenario into the storage/
// folder a recorder writes on a card's own volume (base record, two meta
// copies, fragment and I-frame rings, deleted-fragment list, record files).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scenario.h"

// One frame as it was placed in the record files.
struct FileLayoutFrame {
  int recording = 0;     // index into scenario.recordings
  int channel = 0;
  bool video = false;
  bool key = false;
  int64_t timeMs = 0;
  uint16_t file = 0;     // record file number
  uint32_t offset = 0;   // offset of the frame's 12-byte header
  uint32_t length = 0;   // data bytes after the header
  uint32_t crc32 = 0;    // zlib CRC-32 of the data
  bool live = true;      // false when a later rotation overwrote its file
};

// What a run wrote: counts always, the frames themselves on request.
struct FileLayoutReport {
  bool collectFrames = false;           // set by the caller before the run
  std::vector<FileLayoutFrame> frames;  // stream order, when collectFrames
  uint64_t frameCount = 0;              // frames written (marks not counted)
  uint64_t recordBytes = 0;             // bytes written to record files
  uint32_t fragmentCount = 0;           // fragment records left in the ring
  uint32_t iframeCount = 0;             // I-frame records left in the ring
  uint32_t rotations = 0;               // times the stream moved to the next file
  std::vector<uint32_t> fragmentIds;    // id of each recording's fragment
  uint16_t writeFile = 0;               // the current meta copy's write position
  uint32_t writeOffset = 0;
  int64_t lastTimeMs = 0;
};

// Writes <outDir>/storage/... for the scenario (layout "file"); outDir is
// created when missing and old files under storage/ are replaced. False with
// *error set on a bad option in scenario.file, a media failure or an I/O error.
bool writeFileLayout(const Scenario &scenario, const std::string &outDir, std::string *error);
bool writeFileLayout(const Scenario &scenario, const std::string &outDir,
                     FileLayoutReport *report, std::string *error);

// Writes the report as JSON (report.collectFrames must have been set): the
// write position, the fragment id of each recording and one line per frame
// with its time, channel, kind, key flag, record file, header offset, size,
// CRC-32 and whether it is still on the card.
bool writeFileLayoutManifest(const FileLayoutReport &report, const std::string &path,
                             std::string *error);

// A one-line summary of a run for the simulator to print.
std::string fileLayoutSummary(const FileLayoutReport &report);

// The options of the "file" object of a scenario, for --help.
const char *fileLayoutHelp();

