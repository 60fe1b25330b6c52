// About one second of silent AAC in ADTS frames (16 kHz, mono, AAC-LC),
// made once at start-up. Whoever lacks card audio writes or decodes it in
// place of the card's own.
#pragma once

#include <stdint.h>

typedef struct qmx_silentAacStream {
  uint8_t *data;  // ADTS frames; kept until the process ends
  uint32_t size;  // 0 before generation and when it failed
} qmx_silentAacStream;

extern qmx_silentAacStream silentAac;

// Encodes fifteen frames of silence into silentAac. 0 or -1.
int generateSilentAac(void);
