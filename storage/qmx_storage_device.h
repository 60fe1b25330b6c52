// The device list that both storage libraries fill in their discovery: one
// entry per disk found, with the volume name it was found through, the
// library's id for it and whether the library recognises the card on it.
#pragma once

#include <stdint.h>

typedef struct qmx_storage_device {
  char path[48];  // volume name, NUL-terminated, at most 47 characters
  uint32_t id;    // raw-disk library: disk number; file layout: drive index
  uint8_t valid;  // 1 when this library recognises the card
  uint8_t channels;  // channel count of a recognised card, else 0
} qmx_storage_device;

typedef struct qmx_storage_deviceList {
  qmx_storage_device *device;  // owned by the library that filled it
  int32_t count;
} qmx_storage_deviceList;
