// SPDX-License-Identifier: MIT
#include "format.h"

#include <cmath>
#include <cstdio>
#include <iterator>

#include "utf8.h"

namespace dfcli {

std::string human_size(int64_t bytes) {
    static constexpr const char *kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double v = static_cast<double>(bytes);
    size_t unit = 0;
    while (unit + 1 < std::size(kUnits) && v >= 1024.0) {
        v /= 1024.0;
        ++unit;
    }
    // 1023.96 KiB would print as "1024.0 KiB": show the next unit instead.
    if (v >= 1023.95 && unit + 1 < std::size(kUnits)) {
        v /= 1024.0;
        ++unit;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
    return buf;
}

namespace {

// Length of the control character at s[i] (1 for C0 and DEL, 2 for a C1
// control in UTF-8), or 0 when none starts there.
size_t control_length(const std::string &s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) return 1;
    const size_t n = dup_utf8_length(s.data() + i, s.data() + s.size());
    if (n == 2) {
        const uint32_t cp = dup_utf8_code_point(s.data() + i, n);
        if (cp >= 0x80 && cp <= 0x9F) return 2;
    }
    return 0;
}

void append_escape(std::string *out, unsigned char c) {
    switch (c) {
    case '\a': *out += "\\a"; return;
    case '\b': *out += "\\b"; return;
    case '\t': *out += "\\t"; return;
    case '\n': *out += "\\n"; return;
    case '\v': *out += "\\v"; return;
    case '\f': *out += "\\f"; return;
    case '\r': *out += "\\r"; return;
    default: break;
    }
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\%03o", c);
    *out += buf;
}

}  // namespace

std::string quoted_path(const std::string &path) {
    bool plain = true;
    for (size_t i = 0; i < path.size() && plain; ++i) plain = control_length(path, i) == 0;
    if (plain) return path;

    std::string out;
    enum { None, Quoted, Escaped } open = None;
    for (size_t i = 0; i < path.size();) {
        size_t n = control_length(path, i);
        if (n > 0) {
            if (open == Quoted) out += '\'';
            if (open != Escaped) out += "$'";
            open = Escaped;
            for (size_t k = 0; k < n; ++k) append_escape(&out, static_cast<unsigned char>(path[i + k]));
            i += n;
            continue;
        }
        if (open == Escaped) out += '\'';
        if (open != Quoted) out += '\'';
        open = Quoted;
        // A quote cannot stand inside single quotes: close, escape, reopen.
        if (path[i] == '\'') out += "'\\''";
        else out += path[i];
        ++i;
    }
    out += '\'';
    return out;
}

bool fits_one_line(const std::string &path) { return path.find_first_of("\n\r") == std::string::npos; }

std::string count_of(int64_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string group_header(const Group &g, size_t files, size_t duplicates) {
    std::string names;
    if (files != g.files.size()) names = ", " + count_of(static_cast<int64_t>(g.files.size()), "name", "names");
    return human_size(g.size) + " each, " + count_of(static_cast<int64_t>(files), "file", "files") + ", " +
           count_of(static_cast<int64_t>(duplicates), "duplicate", "duplicates") + names + ", hash " + g.hash;
}

std::string summary_line(const Summary &s) {
    std::string line = count_of(s.duplicates, "duplicate file", "duplicate files") + " in " +
                       count_of(s.groups, "group", "groups") + ", " + human_size(s.reclaimable) + " reclaimable, " +
                       count_of(s.scanned, "file", "files") + " scanned";
    if (s.capped) line += " (--max-files reached)";
    line += ", " + count_of(s.skipped, "entry", "entries") + " skipped";
    if (s.unreadable > 0) line += " (" + count_of(s.unreadable, "file", "files") + " could not be read)";
    return line;
}

std::string progress_bar(int progress) {
    const char *phase = "starting";
    if (progress >= 100) phase = "done";
    else if (progress >= 96) phase = "writing results";
    else if (progress >= 40) phase = "comparing";
    else if (progress >= 1) phase = "walking";
    int pct = progress < 0 ? 0 : (progress > 100 ? 100 : progress);
    constexpr int kWidth = 30;
    int filled = pct * kWidth / 100;
    std::string bar = "[";
    bar.append(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '.');
    char tail[48];
    std::snprintf(tail, sizeof tail, "] %3d%% %s", pct, phase);
    return bar + tail;
}

namespace {

// "0:07", "12:30", "1:02:03".
std::string clock_text(double seconds) {
    long long total = seconds <= 0 ? 0 : std::llround(seconds);
    char text[48];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    else std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

}  // namespace

std::string progress_line(int progress, double elapsed_seconds) {
    std::string line = progress_bar(progress) + ", " + clock_text(elapsed_seconds) + " elapsed";
    // The first percent comes from the walk, whose share of the whole is a
    // guess; before a few percent and a few seconds an estimate would jump
    // about more than it would help.
    constexpr int kMinPercent = 5;
    constexpr double kMinSeconds = 3.0;
    if (progress >= kMinPercent && progress < 100 && elapsed_seconds >= kMinSeconds) {
        double left = elapsed_seconds * (100 - progress) / progress;
        line += ", about " + clock_text(left) + " left";
    }
    return line;
}

// What a reason for an entry that could not be read means, in words; null
// for every other reason.
const char *unreadable_text(const std::string &reason) {
    static const struct {
        const char *reason, *text;
    } kUnreadable[] = {
        {"opendir_failed", "directory could not be opened"},
        {"read_failed", "file could not be read"},
        {"lstat_failed", "status could not be read"},
        {"symlink_stat_failed", "link target's status could not be read"},
    };
    for (const auto &u : kUnreadable)
        if (reason == u.reason) return u.text;
    return nullptr;
}

}  // namespace dfcli
