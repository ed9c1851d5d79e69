#include "options.h"

#include <cctype>
#include <cstdint>
#include <limits>

namespace dfcli {

namespace {

bool parse_count(const std::string &text, int64_t *out) {
    if (text.empty()) return false;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        int d = c - '0';
        if (v > (std::numeric_limits<int64_t>::max() - d) / 10) return false;
        v = v * 10 + d;
    }
    *out = v;
    return true;
}

bool parse_keep(const std::string &text, Keep *out) {
    if (text == "first") *out = Keep::First;
    else if (text == "newest") *out = Keep::Newest;
    else if (text == "oldest") *out = Keep::Oldest;
    else if (text == "shortest-path") *out = Keep::ShortestPath;
    else return false;
    return true;
}

// Length of the well-formed UTF-8 sequence at s[i], or 0 when none starts
// there: no overlong forms, no surrogates, nothing above U+10FFFF.
size_t utf8_length(const std::string &s, size_t i) {
    auto byte = [&](size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
    unsigned b = byte(i);
    if (b < 0x80) return 1;
    size_t n;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) n = 2;
    else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0) lo = 0xA0;       // overlong
        else if (b == 0xED) hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0) lo = 0x90;       // overlong
        else if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return n;
}

bool valid_utf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_length(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// The text with every byte that is not part of a printable character shown
// as \xHH (and a backslash as \\), so that a message quoting it can be read
// and tells the bytes apart.
std::string escaped(const std::string &s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_length(s, i);
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (n > 1 || (n == 1 && c >= 0x20 && c != 0x7F && c != '\\')) {
            out.append(s, i, n);
            i += n;
            continue;
        }
        if (c == '\\') {
            out += "\\\\";
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
        ++i;
    }
    return out;
}

// The library takes UTF-8 text only; a path in another encoding would
// otherwise fail the whole request with a message that names no argument.
bool check_utf8(char **argv, int index, std::string *error) {
    std::string arg = argv[index];
    if (valid_utf8(arg)) return true;
    *error = "argument " + std::to_string(index) + " is not valid UTF-8: '" + escaped(arg) +
             "' (the library takes UTF-8 paths)";
    return false;
}

}  // namespace

bool parse_size(const std::string &text, int64_t *out) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    int64_t n;
    if (!parse_count(text.substr(0, digits), &n)) return false;
    std::string unit;
    for (size_t i = digits; i < text.size(); ++i)
        unit.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(text[i]))));
    int shift = 0;
    if (!unit.empty()) {
        const std::string letters = "KMGT";
        size_t pos = letters.find(unit[0]);
        if (pos != std::string::npos) {
            shift = 10 * static_cast<int>(pos + 1);
            std::string rest = unit.substr(1);
            if (!rest.empty() && rest != "B" && rest != "IB") return false;
        } else if (unit != "B") {
            return false;
        }
    }
    if (shift > 0 && n > (std::numeric_limits<int64_t>::max() >> shift)) return false;
    *out = n << shift;
    return true;
}

bool parse_options(int argc, char **argv, Options *o, std::string *error) {
    bool keep_given = false;
    bool only_roots = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (only_roots || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!check_utf8(argv, i, error)) return false;
            o->roots.push_back({arg, false});
            continue;
        }
        if (arg == "--") {
            only_roots = true;
            continue;
        }
        // "--name=value" or "--name value".
        std::string name = arg, value;
        bool has_value = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        auto take_value = [&](std::string *v) {
            if (has_value) {
                *v = value;
                return true;
            }
            if (i + 1 >= argc) {
                *error = name + " needs a value";
                return false;
            }
            *v = argv[++i];
            return true;
        };
        auto no_value = [&]() {
            if (has_value) *error = name + " takes no value";
            return !has_value;
        };

        if (name == "--help" || name == "-h") {
            if (!no_value()) return false;
            o->help = true;
            return true;
        }
        if (name == "--version") {
            if (!no_value()) return false;
            o->version = true;
            return true;
        }
        std::string v;
        if (name == "--min-size") {
            if (!take_value(&v)) return false;
            if (!parse_size(v, &o->min_size)) {
                *error = "invalid size for --min-size: '" + v + "' (a number of bytes, optionally with K, M, G or T)";
                return false;
            }
        } else if (name == "--max-files") {
            if (!take_value(&v)) return false;
            if (!parse_count(v, &o->max_files)) {
                *error = "invalid count for --max-files: '" + v + "' (0 or more; 0 means no limit)";
                return false;
            }
        } else if (name == "--exclude") {
            if (!take_value(&v)) return false;
            if (!check_utf8(argv, i, error)) return false;  // i is now the value's argument
            o->exclude.push_back(v);
        } else if (name == "--reference") {
            if (!take_value(&v)) return false;
            if (!check_utf8(argv, i, error)) return false;
            o->roots.push_back({v, true});
        } else if (name == "--keep") {
            if (!take_value(&v)) return false;
            if (!parse_keep(v, &o->keep)) {
                *error = "invalid value for --keep: '" + v + "' (first, newest, oldest or shortest-path)";
                return false;
            }
            keep_given = true;
        } else if (name == "--follow-symlinks" || name == "--hard-links" || name == "--json" ||
                   name == "--summary" || name == "--skipped" || name == "--quiet" || name == "--isolate" ||
                   name == "--delete" || name == "--dry-run" || name == "--interactive") {
            if (!no_value()) return false;
            if (name == "--follow-symlinks") o->follow_symlinks = true;
            else if (name == "--hard-links") o->hard_links = true;
            else if (name == "--json") o->json = true;
            else if (name == "--summary") o->summary = true;
            else if (name == "--skipped") o->skipped = true;
            else if (name == "--quiet") o->quiet = true;
            else if (name == "--isolate") o->isolate = true;
            else if (name == "--delete") o->remove = true;
            else if (name == "--dry-run") o->dry_run = true;
            else o->interactive = true;
        } else {
            *error = "unknown option '" + arg + "' (see dupfind --help)";
            return false;
        }
    }

    // Asking group by group is a way of removing.
    if (o->interactive) o->remove = true;
    bool reference = false, plain = false;
    for (const RootArg &r : o->roots) (r.reference ? reference : plain) = true;
    if (o->json && (o->summary || o->skipped || o->remove || reference || o->isolate)) {
        *error = "--json prints the results text alone and cannot be combined with --summary, --skipped, "
                 "--delete, --interactive, --reference or --isolate";
        return false;
    }
    if ((keep_given || o->dry_run) && !o->remove) {
        *error = std::string(keep_given ? "--keep" : "--dry-run") + " needs --delete";
        return false;
    }
    if (o->interactive && (keep_given || o->summary)) {
        *error = std::string("--interactive asks which files to keep and cannot be combined with ") +
                 (keep_given ? "--keep" : "--summary");
        return false;
    }
    if (!plain) {
        *error = reference ? "no directory given besides the --reference ones (see dupfind --help)"
                           : "no directory given (see dupfind --help)";
        return false;
    }
    return true;
}

const char *usage_text() {
    return "Usage: dupfind [OPTIONS] DIR...\n"
           "Find files with identical content below the given directories.\n"
           "\n"
           "Scan:\n"
           "  --min-size SIZE      ignore files smaller than SIZE bytes; K, M, G and T\n"
           "                       are binary units (4K = 4096); 0 includes empty files\n"
           "                       (default 1)\n"
           "  --follow-symlinks    follow symbolic links below the directories (a DIR\n"
           "                       that is a link to a directory is always scanned)\n"
           "  --hard-links         list every name of a file with several hard links\n"
           "                       (default: a file is listed once, under the first\n"
           "                       name met); names of one file are marked \"(same\n"
           "                       file as ...)\", and those of a kept file are kept\n"
           "  --max-files N        stop collecting after N files (default 0: no limit)\n"
           "  --exclude TEXT       skip every entry whose path contains TEXT\n"
           "                       (case-sensitive; repeatable)\n"
           "\n"
           "Which groups:\n"
           "  --reference DIR      files below DIR are never removed (repeatable; DIR\n"
           "                       is scanned as well). In a group with reference\n"
           "                       files, --delete keeps them all and removes the\n"
           "                       others; a group found only below reference\n"
           "                       directories is left out:\n"
           "                       dupfind --delete --reference ~/master ~/backup\n"
           "  --isolate            only groups with files below at least two of the\n"
           "                       directories given; a group found below one of them\n"
           "                       only is left out:  dupfind --isolate ~/laptop ~/usb\n"
           "\n"
           "Output:\n"
           "  --json               print the library's results text unchanged\n"
           "  --summary            print only the summary line\n"
           "  --skipped            also list the skipped entries with their reasons\n"
           "  --quiet              no progress bar\n"
           "\n"
           "Removing duplicates:\n"
           "  --delete             remove every file of each group but one\n"
           "  --keep POLICY        which file stays: first (default), newest, oldest or\n"
           "                       shortest-path. first keeps the file below the\n"
           "                       earliest DIR given, then the first listed:\n"
           "                       dupfind --delete ~/master ~/backup keeps the copy\n"
           "                       in ~/master\n"
           "  --dry-run            show what --delete would remove; remove nothing\n"
           "  --interactive        ask for each group which files to keep\n"
           "                       (implies --delete; needs a terminal)\n"
           "\n"
           "  -h, --help           show this help and exit\n"
           "  --version            show the version and exit\n"
           "\n"
           "Before removing a copy, dupfind checks again that it and the kept file\n"
           "still exist with the group's size and identical content; otherwise the\n"
           "copy stays. The last file of a group is never removed. \"reclaimable\",\n"
           "\"would be freed\" and \"freed\" count the size of each file whose last\n"
           "name the removal takes: a copy with another hard link outside the group\n"
           "frees nothing.\n"
           "\n"
           "Paths holding a control character (a newline, a tab) are shown quoted\n"
           "as a shell reads them: 'a'$'\\n''b'.\n"
           "\n"
           "Exit status: 0 done, 1 scan or removal error, 2 usage error,\n"
           "130 interrupted.\n";
}

}  // namespace dfcli
