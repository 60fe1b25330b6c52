// How a fuzz input maps onto the files of a card volume: a table of one
// little-endian 16-bit length per file (0xFFFF: the file is absent), a flags
// byte, then the files' bytes back to back. A length beyond the input takes
// what is left. Flag kReseal asks the target to put right every check word
// first, so that mutations reach past the checks into the records' meaning.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace fuzzlayout {

const char *const kFiles[] = {
    "storage/base.dt",           "storage/index/meta_00.dt",   "storage/index/meta_01.dt",
    "storage/index/frag.dt",     "storage/index/iframe.dt",    "storage/index/del_frag.dt",
    "storage/record/rec_0000.dt", "storage/record/rec_0001.dt", "storage/record/rec_0002.dt",
    "storage/record/rec_0003.dt", "storage/record/rec_0004.dt", "storage/record/rec_0005.dt",
};
const size_t kFileCount = sizeof kFiles / sizeof kFiles[0];
const uint16_t kAbsent = 0xFFFF;
const size_t kTableSize = 2 * kFileCount + 1;
const uint8_t kReseal = 0x01;

}  // namespace fuzzlayout
