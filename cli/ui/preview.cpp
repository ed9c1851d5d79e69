// SPDX-License-Identifier: MIT
#include "ui/preview.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace dfcli::ui {

namespace {

struct Kind {
    const char *extension;
    Preview preview;
    const char *type;
    // The first bytes that files of the type start with ('?' matches any
    // byte), or null for text, which has no signature.
    const char *magic;
    size_t magic_size;
};

// Formats that every current browser shows by itself. SVG and HTML are
// missing on purpose: both can carry script and would run under the page's
// origin.
const Kind kKinds[] = {
    {"jpg", Preview::Image, "image/jpeg", "\xFF\xD8\xFF", 3},
    {"jpeg", Preview::Image, "image/jpeg", "\xFF\xD8\xFF", 3},
    {"png", Preview::Image, "image/png", "\x89PNG\r\n\x1A\n", 8},
    {"gif", Preview::Image, "image/gif", "GIF8", 4},
    {"webp", Preview::Image, "image/webp", "RIFF????WEBP", 12},
    {"bmp", Preview::Image, "image/bmp", "BM", 2},
    {"mp3", Preview::Audio, "audio/mpeg", nullptr, 0},
    {"ogg", Preview::Audio, "audio/ogg", "OggS", 4},
    {"oga", Preview::Audio, "audio/ogg", "OggS", 4},
    {"opus", Preview::Audio, "audio/ogg", "OggS", 4},
    {"flac", Preview::Audio, "audio/flac", "fLaC", 4},
    {"wav", Preview::Audio, "audio/wav", "RIFF????WAVE", 12},
    {"m4a", Preview::Audio, "audio/mp4", "????ftyp", 8},
    {"mp4", Preview::Video, "video/mp4", "????ftyp", 8},
    {"m4v", Preview::Video, "video/mp4", "????ftyp", 8},
    {"webm", Preview::Video, "video/webm", "\x1A\x45\xDF\xA3", 4},
    {"ogv", Preview::Video, "video/ogg", "OggS", 4},
};

// Plain-text formats shown as their first lines. Markup languages that a
// browser renders are not among them.
const char *const kText[] = {"txt", "text", "md",  "markdown", "rst",  "csv",  "tsv",  "log", "ini",
                             "cfg", "conf", "yml", "yaml",     "toml", "json", "c",    "h",   "cc",
                             "cpp", "hpp",  "py",  "sh",       "rs",   "go",   "java", "tex", "srt"};

std::string extension_of(const std::string &path) {
    const size_t slash = path.find_last_of("/\\");
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot + 1);
    for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

bool starts_with_magic(const std::string &head, const char *magic, size_t n) {
    if (head.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (magic[i] != '?' && head[i] != magic[i]) return false;
    return true;
}

// MP3 files start with an ID3 tag or an MPEG frame header.
bool mp3_start(const std::string &head) {
    if (head.compare(0, 3, "ID3") == 0) return true;
    return head.size() >= 2 && static_cast<unsigned char>(head[0]) == 0xFF &&
           (static_cast<unsigned char>(head[1]) & 0xE0) == 0xE0;
}

}  // namespace

Preview preview_by_name(const std::string &path) {
    const std::string ext = extension_of(path);
    if (ext.empty()) return Preview::None;
    for (const Kind &k : kKinds)
        if (ext == k.extension) return k.preview;
    for (const char *t : kText)
        if (ext == t) return Preview::Text;
    return Preview::None;
}

const char *preview_name(Preview p) {
    switch (p) {
    case Preview::Image: return "image";
    case Preview::Audio: return "audio";
    case Preview::Video: return "video";
    case Preview::Text: return "text";
    default: return "none";
    }
}

const char *confirmed_type(Preview p, const std::string &path, const std::string &head) {
    if (p == Preview::None || p != preview_by_name(path)) return nullptr;
    if (p == Preview::Text) {
        // Text has no NUL byte; anything with one is some binary format.
        return head.find('\0') == std::string::npos ? "text/plain; charset=utf-8" : nullptr;
    }
    const std::string ext = extension_of(path);
    for (const Kind &k : kKinds) {
        if (ext != k.extension) continue;
        const bool ok = k.magic ? starts_with_magic(head, k.magic, k.magic_size) : mp3_start(head);
        return ok ? k.type : nullptr;
    }
    return nullptr;
}

std::string first_lines(const std::string &start, size_t lines) {
    size_t end = 0, count = 0;
    while (end < start.size() && count < lines) {
        const size_t nl = start.find('\n', end);
        if (nl == std::string::npos) return start;
        end = nl + 1;
        ++count;
    }
    return start.substr(0, end);
}

}  // namespace dfcli::ui
