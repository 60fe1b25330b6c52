// Writes the seed inputs of fuzz_file from the tests' card writer: a few
// small cards in the fuzz input format (fuzz_layout.h).
// Usage: make_file_seeds OUTPUT_DIR
#include <stdio.h>

#include <map>
#include <string>

#include "card_writer.h"
#include "fuzz_layout.h"

using cardw::Bytes;
using cardw::TestCard;

static void pack(const TestCard &card, const std::string &out) {
  std::map<std::string, Bytes> files;
  for (const auto &f : card.files()) files[f.first] = f.second;
  Bytes table, body;
  for (size_t i = 0; i < fuzzlayout::kFileCount; i++) {
    auto it = files.find(fuzzlayout::kFiles[i]);
    if (it == files.end()) {
      cardw::put16(table, fuzzlayout::kAbsent);
      continue;
    }
    if (it->second.size() >= fuzzlayout::kAbsent) throw std::runtime_error("seed file too large");
    cardw::put16(table, static_cast<uint32_t>(it->second.size()));
    body.insert(body.end(), it->second.begin(), it->second.end());
  }
  cardw::put8(table, fuzzlayout::kReseal);
  table.insert(table.end(), body.begin(), body.end());
  cardw::writeBytes(out, table);
}

static Bytes video(uint8_t nal, size_t size) {
  Bytes b = {0, 0, 0, 1, nal};
  while (b.size() < size) b.push_back(static_cast<uint8_t>(b.size()));
  return b;
}

static void record(TestCard &card, int64_t startSec, int seconds, size_t size) {
  for (int s = 0; s < seconds; s++) {
    int64_t ms = (startSec + s) * 1000;
    for (uint8_t ch = 0; ch < card.channels; ch++) card.frame(true, ch, ms + ch, video(0x40, size), true);
    for (uint8_t ch = 0; ch < card.channels; ch++) card.frame(false, ch, ms + 20 + ch, Bytes(9, 0x11));
    for (uint8_t ch = 0; ch < card.channels; ch++) card.frame(true, ch, ms + 500 + ch, video(0x02, size / 2));
  }
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_file_seeds OUTPUT_DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int64_t t0 = 1700000000;

  {  // two channels, wrapped rings, a deleted fragment, rotation
    TestCard card;
    card.fragRingBytes = 32 * 6;
    card.iframeRingBytes = 15 * 24;
    card.recordFileSize = 600;
    card.recFileCount = 4;
    record(card, t0, 14, 40);
    for (uint32_t i = 0; i < 4; i++) card.fragment(i + 1, t0 + 6 + i * 2, i == 3 ? 0 : t0 + 8 + i * 2);
    card.fragHeadIndex = 4;
    card.iframes.erase(card.iframes.begin(), card.iframes.end() - 8);
    card.iframeHeadIndex = 20;
    card.deleted = {2};
    pack(card, dir + "/wrapped.seed");
  }
  {  // an empty card
    TestCard card;
    card.fragRingBytes = 32 * 4;
    card.iframeRingBytes = 15 * 4;
    card.recFileCount = 2;
    card.rec.resize(2);
    pack(card, dir + "/empty.seed");
  }
  {  // one channel, H.264, no deleted list, frames ending files without a mark
    TestCard card;
    card.channels = 1;
    card.fragRingBytes = 1000;
    card.iframeRingBytes = 1000;
    card.recordFileSize = 300;
    card.recFileCount = 3;
    for (int i = 0; i < 9; i++) card.frame(true, 0, (t0 + i) * 1000, video(i % 3 ? 0x41 : 0x67, 88), true);
    card.fragment(7, t0, t0 + 4);
    card.fragment(8, t0 + 4, 0);
    card.writeDel = false;
    pack(card, dir + "/single.seed");
  }
  {  // four channels over several days
    TestCard card;
    card.channels = 4;
    card.fragRingBytes = 32 * 16;
    card.iframeRingBytes = 15 * 40;
    card.recordFileSize = 1200;
    card.recFileCount = 4;
    record(card, t0 + 3 * 86400, 3, 30);
    for (uint32_t i = 0; i < 8; i++) card.fragment(i, t0 + i * 43200, t0 + i * 43200 + 600, 0x10 | i, i & 1);
    card.deleted = {1, 5};
    pack(card, dir + "/days.seed");
  }
  return 0;
}
