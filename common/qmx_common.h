// Levelled, coloured log lines on standard output and the wall clock in
// seconds, shared by the storage libraries and the MP4 muxer.
#pragma once

#include <stdint.h>

#define QMX_LOG_ERROR 1u
#define QMX_LOG_WARN 2u
#define QMX_LOG_INFO 3u
#define QMX_LOG_DEBUG 4u

// Prints one log line: a coloured prefix with the local time, level, tag,
// function and line, then the caller's message (which brings its own "\n").
// Lines above the threshold (fixed at 1: errors only) and level 0 are not
// printed. Null strings print as empty. Nothing is flushed.
void qmx_common_log(uint32_t level, const char *tag, const char *function,
                    uint32_t line, const char *format, ...)
    __attribute__((format(printf, 5, 6)));

// Discovery looks at every disk, and most disks are not cards: what it finds
// wrong with them is no error. While a thread is quiet (a non-zero value set
// here), its log lines and the device layer's messages are dropped; returns
// the thread's previous value.
int qmx_common_setQuiet(int quiet);
int qmx_common_isQuiet(void);

// Wall clock in whole seconds since the Unix epoch.
int64_t qmx_common_getTimeSec(void);

// The threshold is a process-wide constant of 1; tests read it here.
uint32_t qmx_common_logThreshold(void);

// Shorthands used by the libraries: an ERROR line with the caller's
// function name and line.
#define QMX_LOGE(tag, ...) \
  qmx_common_log(QMX_LOG_ERROR, (tag), __func__, __LINE__, __VA_ARGS__)
#define QMX_LOGE_AS(tag, fn, ...) \
  qmx_common_log(QMX_LOG_ERROR, (tag), (fn), __LINE__, __VA_ARGS__)
