// Times as people type them on the command lines of cardtool and cardsim:
// Unix seconds or a local date, checked against the years a recorder can
// have recorded in. No Qt, so that cardtool stays free of it.
#pragma once

#include <stdint.h>

#include <string>

// The accepted times: 1970-01-01 00:00:00 UTC up to 2100-01-01 00:00:00 UTC.
// Within these bounds milliseconds, sums and differences of two times all
// fit an int64_t many times over.
constexpr int64_t kTimeMin = 0;
constexpr int64_t kTimeMax = 4102444800;

// Reads text as Unix seconds ("1796090400") or as local time of TZ
// ("2026-12-05 10:00:00", or "2026-12-05" for its midnight). False with
// *error set to a sentence about the text when it is neither, names no real
// date, names a local time the clock skips, or lies outside
// [kTimeMin, kTimeMax].
bool parseTimeText(const std::string &text, int64_t *seconds, std::string *error);

// The message parseTimeText gives for a time outside the bounds.
std::string timeRangeMessage(const std::string &text);
