// Reading times typed on a command line or written in a scenario file.
#include "time_text.h"

#include <time.h>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The number in text[at, at + n) when all n characters are digits, else -1.
int digitsAt(const std::string &text, size_t at, size_t n) {
  if (at + n > text.size()) return -1;
  int v = 0;
  for (size_t i = at; i < at + n; i++) {
    if (!isDigit(text[i])) return -1;
    v = v * 10 + (text[i] - '0');
  }
  return v;
}

int daysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

bool fail(std::string *error, const std::string &message) {
  if (error) *error = message;
  return false;
}

}  // namespace

std::string timeRangeMessage(const std::string &text) {
  return "'" + text + "' is not a time from 1970 to 2100 (Unix seconds " +
         std::to_string(kTimeMin) + " to " + std::to_string(kTimeMax) + ")";
}

bool parseTimeText(const std::string &text, int64_t *seconds, std::string *error) {
  const std::string wanted = "'" + text +
                             "' is neither Unix seconds nor a local time "
                             "\"YYYY-MM-DD HH:MM:SS\" or \"YYYY-MM-DD\"";
  // Unix seconds, a sign allowed so that a negative time gets the range's
  // message. More than 15 digits is out of range whatever they say, and
  // fewer cannot overflow.
  size_t at = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (at < text.size() && text.find_first_not_of("0123456789", at) == std::string::npos) {
    size_t digits = text.size() - at;
    while (digits > 1 && text[text.size() - digits] == '0') digits--;
    if (digits > 15) return fail(error, timeRangeMessage(text));
    int64_t v = 0;
    for (size_t i = text.size() - digits; i < text.size(); i++) v = v * 10 + (text[i] - '0');
    if (text[0] == '-') v = -v;
    if (v < kTimeMin || v > kTimeMax) return fail(error, timeRangeMessage(text));
    *seconds = v;
    return true;
  }

  // YYYY-MM-DD, optionally followed by " HH:MM:SS".
  if (text.size() != 10 && text.size() != 19) return fail(error, wanted);
  int year = digitsAt(text, 0, 4), month = digitsAt(text, 5, 2), day = digitsAt(text, 8, 2);
  int hour = 0, minute = 0, second = 0;
  if (text[4] != '-' || text[7] != '-' || year < 0 || month < 0 || day < 0)
    return fail(error, wanted);
  if (text.size() == 19) {
    hour = digitsAt(text, 11, 2);
    minute = digitsAt(text, 14, 2);
    second = digitsAt(text, 17, 2);
    if (text[10] != ' ' || text[13] != ':' || text[16] != ':' || hour < 0 || minute < 0 ||
        second < 0)
      return fail(error, wanted);
  }
  // A day either side of the bounds still goes through mktime: the local
  // zone decides whether it lands inside them.
  if (year < 1969 || year > 2100) return fail(error, timeRangeMessage(text));
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59)
    return fail(error, "'" + text + "' is not a date and time of the calendar");
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  // mktime moves a time that the clock skips (the hour of a daylight-saving
  // change) to another one: refuse it rather than answer for another time.
  if (tm.tm_year != year - 1900 || tm.tm_mon != month - 1 || tm.tm_mday != day ||
      tm.tm_hour != hour || tm.tm_min != minute || tm.tm_sec != second)
    return fail(error, "'" + text + "' does not exist in local time (the clock skips it)");
  int64_t v = static_cast<int64_t>(t);
  if (v < kTimeMin || v > kTimeMax) return fail(error, timeRangeMessage(text));
  *seconds = v;
  return true;
}
