// SPDX-License-Identifier: MIT
// Points in time given on the command line.
#include "when.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace {

// Reads exactly n digits at text[*i] into *out.
bool digits(const std::string &text, size_t *i, int n, int *out) {
    int v = 0;
    for (int k = 0; k < n; k++, (*i)++) {
        if (*i >= text.size() || !isdigit(static_cast<unsigned char>(text[*i]))) return false;
        v = v * 10 + (text[*i] - '0');
    }
    *out = v;
    return true;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian
// calendar, without the C library: it has no portable UTC conversion.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

}  // namespace

bool parse_when(const std::string &text, int64_t *out) {
    size_t i = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(text, &i, 4, &year) || i >= text.size() || text[i++] != '-' || !digits(text, &i, 2, &month) ||
        i >= text.size() || text[i++] != '-' || !digits(text, &i, 2, &day))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return false;
    bool has_offset = false;
    int offset_minutes = 0;
    if (i < text.size()) {
        if (text[i] != 'T' && text[i] != 't' && text[i] != ' ') return false;
        i++;
        if (!digits(text, &i, 2, &hour) || i >= text.size() || text[i++] != ':' || !digits(text, &i, 2, &minute))
            return false;
        if (i < text.size() && text[i] == ':') {
            i++;
            if (!digits(text, &i, 2, &second)) return false;
        }
        if (hour > 23 || minute > 59 || second > 59) return false;
        if (i < text.size()) {
            has_offset = true;
            if (text[i] == 'Z' || text[i] == 'z') {
                i++;
            } else if (text[i] == '+' || text[i] == '-') {
                const int sign = text[i++] == '-' ? -1 : 1;
                int oh = 0, om = 0;
                if (!digits(text, &i, 2, &oh)) return false;
                if (i < text.size()) {
                    if (text[i] == ':') i++;
                    if (!digits(text, &i, 2, &om)) return false;
                }
                if (oh > 23 || om > 59) return false;
                offset_minutes = sign * (oh * 60 + om);
            } else {
                return false;
            }
            if (i != text.size()) return false;
        }
    }
    if (has_offset) {
        *out = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second -
               int64_t{offset_minutes} * 60;
        return true;
    }
    // Local time: the C library knows the zone and its daylight saving
    // rules; it decides whether summer time applies (tm_isdst -1).
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1) && !(tm.tm_year == 69 && tm.tm_mon == 11 && tm.tm_mday == 31)) return false;
    *out = static_cast<int64_t>(t);
    return true;
}

std::string format_when(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    // The tool reads no time zone from several threads: localtime's shared
    // result is safe here, and it is the one call that both systems have.
    const std::tm *local = std::localtime(&t);
    if (!local) return "unknown time";
    const std::tm tm = *local;
    // The offset is what the local fields are ahead of UTC; strftime's %z
    // is not portable.
    const int64_t local_seconds = days_from_civil(int64_t{tm.tm_year} + 1900, tm.tm_mon + 1, tm.tm_mday) * 86400 +
                                  tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    const int64_t offset = (local_seconds - seconds) / 60;
    const int64_t magnitude = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+',
                  static_cast<long long>(magnitude / 60), static_cast<long long>(magnitude % 60));
    return text;
}
