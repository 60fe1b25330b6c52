#include "qmx_common.h"

#include <stdarg.h>
#include <stdio.h>
#include <sys/time.h>
#include <time.h>

static const uint32_t logThreshold = 1;

uint32_t qmx_common_logThreshold(void) { return logThreshold; }

// Each thread's own quiet flag; nothing else shares it.
static thread_local int quietThread = 0;

int qmx_common_setQuiet(int quiet) {
  int previous = quietThread;
  quietThread = quiet;
  return previous;
}

int qmx_common_isQuiet(void) { return quietThread; }

void qmx_common_log(uint32_t level, const char *tag, const char *function,
                    uint32_t line, const char *format, ...) {
  if (level == 0 || level > logThreshold || quietThread) return;

  struct timeval tv;
  gettimeofday(&tv, nullptr);
  time_t secs = tv.tv_sec;
  struct tm lt;
  localtime_r(&secs, &lt);
  long ms = static_cast<long>(tv.tv_usec / 1000);

  if (!tag) tag = "";
  if (!function) function = "";
  switch (level) {
    case QMX_LOG_ERROR:
      printf("\033[1;31m[%02d:%02d:%02d:%03ld ERROR-%s]:%s[%u]:\033[m", lt.tm_hour, lt.tm_min,
             lt.tm_sec, ms, tag, function, line);
      break;
    case QMX_LOG_WARN:
      printf("\033[1;32m[%02d:%02d:%02d:%03ld WARN-%s]:%s[%u]:\033[m", lt.tm_hour, lt.tm_min,
             lt.tm_sec, ms, tag, function, line);
      break;
    case QMX_LOG_INFO:
      printf("\033[1;34m[%02d:%02d:%02d:%03ld INFO-%s]:%s[%u]:\033[m", lt.tm_hour, lt.tm_min,
             lt.tm_sec, ms, tag, function, line);
      break;
    case QMX_LOG_DEBUG:
      printf("\033[1;35m[%02d:%02d:%02d:%03ld DEBUG-%s]:%s[%u]:\033[m", lt.tm_hour, lt.tm_min,
             lt.tm_sec, ms, tag, function, line);
      break;
    default:
      // Levels above DEBUG only pass a threshold above 4; they print the
      // message without a prefix of their own.
      break;
  }
  if (!format) return;
  va_list ap;
  va_start(ap, format);
  vprintf(format, ap);
  va_end(ap);
}

int64_t qmx_common_getTimeSec(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec);
}
