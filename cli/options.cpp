// SPDX-License-Identifier: MIT
#include "options.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <set>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "files_from.h"
#include "glob.h"
#include "sorting.h"
#include "utf8.h"
#include "when.h"

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

// The text with every byte that is not part of a printable character shown
// as \xHH (and a backslash as \\), so that a message quoting it can be read
// and tells the bytes apart.
std::string escaped(const std::string &s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < s.size();) {
        size_t n = dup_utf8_length(s.data() + i, s.data() + s.size());
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

bool check_utf8(char **argv, int index, std::string *error) {
    std::string arg = argv[index];
    if (dup_utf8_is_valid(arg.data(), arg.size())) return true;
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

namespace {

// The options, in the order and the words of --help. The parser registers
// exactly these names, so the help cannot list an option that the parser
// does not take, nor the parser take one that the help leaves out.
struct HelpEntry {
    const char *names;  // "-q,--quiet" or "--min-size"; null for a heading
    const char *value;  // what the option takes, as shown; null for a flag
    const char *text;   // the description, or the heading
};

constexpr HelpEntry kHelp[] = {
    {nullptr, nullptr, "Scan:"},
    {"--min-size", "SIZE",
     "ignore files smaller than SIZE bytes; K, M, G and T\n"
     "are binary units (4K = 4096); 0 includes empty files\n"
     "(default 1)"},
    {"--max-size", "SIZE", "ignore files larger than SIZE bytes (same units; not\nbelow --min-size)"},
    {"--exclude", "PATTERN",
     "skip every entry that the shell pattern matches: *\n"
     "and ? within a name, [...] a set of characters\n"
     "([[:digit:]] and other classes), ** any number of\n"
     "directories. A pattern without '/' matches a name\n"
     "anywhere (--exclude .git, --exclude '*.iso'), one\n"
     "with '/' the path below a DIR, without the DIR's own\n"
     "name (--exclude 'src/build', --exclude '**/cache',\n"
     "'/build' for the DIR's own entry); a trailing '/'\n"
     "matches directories only (--exclude 'cache/'); a\n"
     "matching directory is not entered (repeatable)"},
    {"--exclude-text", "TEXT", "skip every entry whose path contains TEXT\n(case-sensitive; repeatable)"},
    {"--include", "PATTERN",
     "collect only files that a shell pattern matches,\n"
     "written as for --exclude (--include '*.jpg'); every\n"
     "directory is still entered (repeatable)"},
    {"--ignore-case", nullptr,
     "--exclude and --include patterns match letters\nof either case ('*.iso' matches X.ISO)"},
    {"-A,--skip-hidden", nullptr, "skip files and directories whose name begins with '.'"},
    {"-x,--one-file-system", nullptr, "enter no directory on another file system than\nthe DIR it is found below"},
    {"--max-depth", "N",
     "collect entries at most N levels below each DIR, as\n"
     "find -maxdepth counts: 1 is the DIR's own entries,\n"
     "2 those of its subdirectories too (1 or more)"},
    {"--newer-than", "WHEN",
     "only files modified at WHEN or later: an ISO 8601\n"
     "date (2024-05-01) or date and time (2024-05-01T13:45,\n"
     "seconds optional), local time unless it ends in an\n"
     "offset (Z, +02:00)"},
    {"--older-than", "WHEN", "only files modified before WHEN (same forms)"},
    {"--follow-symlinks", nullptr,
     "follow symbolic links below the directories (a DIR\n"
     "that is a link to a directory is always scanned)"},
    {"-H,--hard-links", nullptr,
     "list every name of a file with several hard links\n"
     "(default: a file is listed once, under the first\n"
     "name met); names of one file are marked \"(same\n"
     "file as ...)\", and those of a kept file are kept"},
    {"--max-files", "N", "stop collecting after N file names (default 0: no limit)"},
    {"-r,--recursive", nullptr,
     "accepted and changes nothing: every DIR is always\nscanned with all its subdirectories"},
    {"--files-from", "FILE",
     "also scan each path listed in FILE, one a line, as\n"
     "if given as a DIR (- reads standard input; empty\n"
     "lines and the CR of a CRLF line end are ignored):\n"
     "find ~/Pictures -name '*.jpg' | dupfind --files-from -"},
    {"--from0", nullptr,
     "with --files-from: the paths end in NUL, as\n"
     "find -print0 writes them, and are taken byte for\n"
     "byte: find . -print0 | dupfind --files-from - --from0"},
    {"--cache", "[=FILE]",
     "keep what each scan learns of the files in FILE, so\n"
     "that a rescan reads only the files changed since\n"
     "(default $XDG_CACHE_HOME/dupfind/cache, else\n"
     "~/.cache/dupfind/cache); the bytes of a copy are\n"
     "still compared before it is removed or replaced"},
    {"--no-cache", nullptr, "use no cache file, even after --cache"},
    {nullptr, nullptr, "Which groups:"},
    {"--reference", "DIR",
     "files below DIR are never removed or replaced\n"
     "(repeatable; DIR is scanned as well). In a group with\n"
     "reference files, --delete keeps them all and removes\n"
     "the others; a group found only below reference\n"
     "directories is left out:\n"
     "dupfind --delete --reference ~/master ~/backup"},
    {"--isolate", nullptr,
     "only groups with files below at least two of the\n"
     "directories given; a group found below one of them\n"
     "only is left out:  dupfind --isolate ~/laptop ~/usb"},
    {nullptr, nullptr, "Output:"},
    {"--format", "FORMAT",
     "human (default); json: the library's results text\n"
     "unchanged; fdupes: one path per line and a blank\n"
     "line after each group (a path holding a line\n"
     "break is refused: use -0, csv or json); csv: one\n"
     "row per file (group,size,hash,path) after a header\n"
     "row, quoted as RFC 4180 says"},
    {"--json", nullptr, "the same as --format json"},
    {"-0,--null", nullptr,
     "end each path of --format fdupes (implied) with NUL\n"
     "and each group with one more, for xargs -0 (which\n"
     "reads it as an empty name: rm -f passes over it)"},
    {"-f,--omit-first", nullptr,
     "with --format fdupes or csv: leave out the files\n"
     "that --keep keeps, so that only the copies remain:\n"
     "dupfind --omit-first -0 DIR | xargs -0 rm -f --\n"
     "(a group with no file to keep is left out whole)"},
    {"--sort", "KEY",
     "order of the groups: size (largest files first),\n"
     "wasted (most space held by copies first), count\n"
     "(most files first) or path (by first path);\n"
     "default: as found, smallest files first. Files\n"
     "inside a group keep their order"},
    {"--reverse", nullptr, "list the groups in the opposite order"},
    {"--times", nullptr,
     "show each file's modification time (local time,\n"
     "ISO 8601) before its path in the human listing, and\n"
     "as a last column, mtime, of --format csv"},
    {"-m,--summary", nullptr, "print only the summary line"},
    {"--skipped", nullptr, "also list the skipped entries with their reasons"},
    {"-q,--quiet", nullptr, "no progress bar"},
    {nullptr, nullptr, "Acting on duplicates (one of --delete, --link, --reflink):"},
    {"--delete", nullptr, "remove every file of each group but one"},
    {"--link", nullptr,
     "replace every copy by a hard link to the kept file;\n"
     "a copy on another file system, or whose owner,\n"
     "group, mode, ACL or extended attributes differ from\n"
     "the kept file's, is left as it is"},
    {"--allow-metadata-change", nullptr,
     "with --link: also replace a copy whose metadata\n"
     "differs; its name then shows the kept file's owner,\n"
     "mode and attributes (each such copy is named)"},
    {"--reflink", nullptr,
     "have every copy share the kept file's extents on\n"
     "disk (XFS, btrfs); the copy keeps its name, inode\n"
     "and metadata, and the kernel compares the bytes\n"
     "itself; where the file system cannot, the copy is\n"
     "left as it is"},
    {"--keep", "POLICY",
     "which file stays: first (default), newest, oldest or\n"
     "shortest-path. first keeps the file below the\n"
     "earliest DIR given, then the first listed:\n"
     "dupfind --delete ~/master ~/backup keeps the copy\n"
     "in ~/master. A group below one DIR only is left\n"
     "alone unless --keep is given: the order of its\n"
     "paths says nothing about which is the original"},
    {"--dry-run", nullptr, "show what the action would do; change nothing"},
    {"--interactive", nullptr,
     "ask for each group which files to keep (numbers\n"
     "and ranges: 1,3-4; Enter takes the --keep choice\n"
     "shown in brackets), then show the whole plan and\n"
     "act only once it is confirmed (implies --delete\n"
     "unless --link or --reflink is given; needs a\n"
     "terminal)"},
    {nullptr, nullptr, "A page to look at the groups and choose (--ui):"},
    {"--ui", nullptr,
     "show the groups on a page in the browser, served by\n"
     "dupfind to this machine only: thumbnails and first\n"
     "lines of each file, a keep choice per group (--keep\n"
     "and --reference preselect it), the plan, then\n"
     "--delete, --link or --reflink with their checks.\n"
     "Ctrl-C, closing the page or the idle time-out ends it"},
    {"--no-browser", nullptr, "with --ui: print the page's address, open no browser"},
    {"--idle-timeout", "SECONDS",
     "with --ui: end when no page asked for anything for\nSECONDS (default 3600; 0: never)"},
    {nullptr, nullptr, ""},
    {"-h,--help", nullptr, "show this help and exit"},
    {"-V,--version", nullptr, "show the version and exit"},
};

constexpr const char *kUsageHead =
    "Usage: dupfind [OPTIONS] DIR...\n"
    "       dupfind [OPTIONS] --files-from FILE [DIR...]\n"
    "Find files with identical content below the given directories (a DIR\n"
    "may also be a file).\n";

constexpr const char *kUsageTail =
    "\n"
    "Before acting on a copy, dupfind checks again that it and the kept file\n"
    "still exist with the group's size, are not one file under two names and\n"
    "have identical content; otherwise the copy stays. The last file of a\n"
    "group is never removed, and nothing is acted on through a symbolic link\n"
    "or outside the DIRs. \"reclaimable\", \"would be freed\" and \"freed\"\n"
    "count the size of each file whose last name the removal or the link\n"
    "takes (a copy with another hard link outside the group frees nothing),\n"
    "or whose extents --reflink shares.\n"
    "\n"
    "Paths holding a control character (a newline, a tab) are shown quoted\n"
    "as a shell reads them: 'a'$'\\n''b'. The fdupes and csv formats print\n"
    "every path as it is; the fdupes format, without -0, prints nothing and\n"
    "exits with 1 when a path holds a line feed or a carriage return.\n"
    "\n"
    "Exit status: 0 done, 1 scan, removal or replacement error, or a path that\n"
    "--format fdupes cannot list, or a copy that the action leaves because of\n"
    "a problem (also in a dry run, but for a group below one DIR without\n"
    "--keep), 2 usage error, 130 interrupted.\n";

// "-q,--quiet" as shown: "-q, --quiet".
std::string shown_names(const char *names) {
    std::string out;
    for (const char *c = names; *c; ++c) {
        out += *c;
        if (*c == ',') out += ' ';
    }
    return out;
}

std::string build_usage() {
    constexpr size_t kColumn = 23;  // where the descriptions begin
    std::string out = kUsageHead;
    for (const HelpEntry &e : kHelp) {
        if (!e.names) {
            out += "\n";
            if (*e.text) out += std::string(e.text) + "\n";
            continue;
        }
        std::string label = "  " + shown_names(e.names);
        if (e.value) label += std::string(*e.value == '[' ? "" : " ") + e.value;  // "--cache[=FILE]"
        if (label.size() + 1 > kColumn) label += "\n" + std::string(kColumn, ' ');
        else label.resize(kColumn, ' ');
        out += label;
        for (const char *c = e.text; *c; ++c) {
            out += *c;
            if (*c == '\n') out.append(kColumn, ' ');
        }
        out += "\n";
    }
    return out + kUsageTail;
}

const HelpEntry &help_entry(const std::string &long_name) {
    for (const HelpEntry &e : kHelp) {
        if (!e.names) continue;
        std::string names = e.names;
        size_t comma = names.find(',');
        if ((comma == std::string::npos ? names : names.substr(comma + 1)) == long_name) return e;
    }
    throw std::logic_error("option " + long_name + " is missing from the help");
}

// The command line on the parsing library, with every name taken from the
// help table. Flags refuse a value ("--quiet=yes"); an option given twice
// takes its last value, a repeatable one each of them.
class Parser {
public:
    Parser() {
        app_.set_help_flag();  // the help is ours, printed by the caller
        app_.allow_extras();   // unknown options are reported in our words
        // "/q" is a path on every system, as it is to the library: on
        // Windows the parsing library would take it for -q, and "/data"
        // for an unknown option.
        app_.allow_windows_style_options(false);
        // Every root, in the order given; the parser separates them from
        // --reference values, whose place among them parse_order() keeps.
        dirs_ = app_.add_option("DIR", dir_values_);
    }

    CLI::Option *flag(const char *long_name, bool *target) {
        CLI::Option *o = app_.add_flag(names(long_name), *target);
        o->disable_flag_override();
        return o;
    }

    // An option whose value is optional and only ever written after '='
    // ("--cache=FILE"): "--cache DIR" scans DIR. Without a value the target
    // holds kNoValue.
    static constexpr const char *kNoValue = "\x01";
    CLI::Option *optional_value(const char *long_name, std::string *target) {
        CLI::Option *o = app_.add_flag(names(long_name) + "{" + kNoValue + "}", *target);
        o->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        return o;
    }
    // --cache[=FILE], and --no-cache, which wins over it wherever it stands.
    CLI::Option *cache_options(std::string *file, bool *none) {
        flag("--no-cache", none);
        return optional_value("--cache", file);
    }

    CLI::Option *value(const char *long_name, std::string *target) {
        CLI::Option *o = app_.add_option(names(long_name), *target);
        o->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        return o;
    }

    // The options of --ui; --idle-timeout's text is checked with the rest
    // (check_needs).
    void ui_options(Options *o) {
        flag("--ui", &o->ui);
        flag("--no-browser", &o->no_browser);
        idle_opt_ = value("--idle-timeout", &idle_);
    }
    bool idle_given() const { return idle_opt_ != nullptr && idle_opt_->count() > 0; }
    const std::string &idle() const { return idle_; }

    CLI::Option *values(const char *long_name, std::vector<std::string> *target) {
        CLI::Option *o = app_.add_option(names(long_name), *target);
        o->allow_extra_args(false);  // one value each time: "--exclude a DIR"
        return o;
    }

    // Parses; on a usage error returns false with the message.
    bool parse(int argc, char **argv, std::string *error) {
        std::set<std::string> seen;
        for (const HelpEntry &e : kHelp) {
            if (!e.names) continue;
            if (!registered_.count(e.names))
                throw std::logic_error(std::string("option ") + e.names + " is in the help but not parsed");
            if (!seen.insert(e.names).second)
                throw std::logic_error(std::string("option ") + e.names + " is in the help twice");
        }
        // "--format=" has the parser take the next argument for the value,
        // an option or a directory alike.
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            if (arg == "--") break;
            if (arg.size() > 3 && arg.back() == '=' && takes_value(arg.substr(0, arg.size() - 1))) {
                *error = arg.substr(0, arg.size() - 1) + " needs a value";
                return false;
            }
        }
        try {
            app_.parse(argc, argv);
        } catch (const CLI::ParseError &e) {
            *error = message(e);
            return false;
        }
        return true;
    }

    // The first argument that looked like an option and was none.
    std::string unknown(int argc, char **argv) const {
        // The parser keeps the "--" that ends the options among the extras.
        for (const std::string &extra : app_.remaining())
            if (extra != "--") return extra;
        // The parser takes "-1", or the "-5" left of a cluster "-q5", for a
        // number, and so for a directory, unless such an option exists. Only
        // after "--" can a directory begin with '-' (other than "-" itself):
        // before, it is a mistyped option (another tool's -1, say).
        std::set<std::string> after_marker;
        bool marker = false;
        for (int i = 1; i < argc; ++i) {
            if (marker) after_marker.insert(argv[i]);
            else marker = std::string(argv[i]) == "--";
        }
        for (const std::string &dir : dir_values_)
            if (dir.size() > 1 && dir[0] == '-' && !after_marker.count(dir)) return dir;
        return "";
    }

    // The roots and --reference directories in command-line order, the
    // paths of the --files-from list where that option stands.
    std::vector<RootArg> roots(const CLI::Option *reference, const std::vector<std::string> &refs,
                               const CLI::Option *files_from, const std::vector<std::string> &listed) const {
        std::vector<RootArg> out;
        size_t dir = 0, ref = 0;
        bool list_placed = false;
        for (const CLI::Option *o : app_.parse_order()) {
            if (o == dirs_ && dir < dir_values_.size()) {
                out.push_back({dir_values_[dir++], false});
            } else if (o == reference && ref < refs.size()) {
                out.push_back({refs[ref++], true});
            } else if (o == files_from && !list_placed) {
                out.reserve(out.size() + listed.size());
                for (const std::string &path : listed) out.push_back({path, false});
                list_placed = true;
            }
        }
        return out;
    }

private:
    std::string idle_;
    CLI::Option *idle_opt_ = nullptr;
    // Whether the argument is an option whose value is the next argument.
    static bool takes_value(const std::string &arg) {
        for (const HelpEntry &e : kHelp) {
            if (!e.names || !e.value) continue;
            std::string names = std::string(",") + e.names + ",";
            if (names.find("," + arg + ",") != std::string::npos) return true;
        }
        return false;
    }

    std::string names(const char *long_name) {
        const HelpEntry &e = help_entry(long_name);
        registered_.insert(e.names);
        return e.names;
    }

    // The parsing library's message in the tool's words where it is one of
    // those a user meets; its own text otherwise.
    static std::string message(const CLI::ParseError &e) {
        std::string text = e.what();
        const std::string override_tail = " was given a disallowed flag override";
        if (text.size() > override_tail.size() &&
            text.compare(text.size() - override_tail.size(), std::string::npos, override_tail) == 0) {
            std::string name = text.substr(0, text.size() - override_tail.size());
            if (name.rfind("-", 0) != 0) name = "--" + name;
            return name + " takes no value";
        }
        size_t colon = text.find(": ");
        if (colon != std::string::npos && text.find(" required ", colon) != std::string::npos && text.size() > 8 &&
            text.compare(text.size() - 8, 8, " missing") == 0)
            return text.substr(0, colon) + " needs a value";
        return escaped(text) + " (see dupfind --help)";
    }

    CLI::App app_{"", "dupfind"};
    CLI::Option *dirs_ = nullptr;
    std::vector<std::string> dir_values_;
    std::set<std::string> registered_;
};

bool parse_format(const std::string &text, Format *out) {
    if (text == "human") *out = Format::Human;
    else if (text == "json") *out = Format::Json;
    else if (text == "fdupes") *out = Format::Fdupes;
    else if (text == "csv") *out = Format::Csv;
    else return false;
    return true;
}

}  // namespace

namespace {

// A pattern with a '/' is matched against the path below each DIR, as a
// .gitignore pattern is against the path below its own directory, so one
// that starts with a DIR's own name ("photos/cache" for the DIR photos)
// does not reach that DIR's entries. Such a pattern is kept (it may mean a
// directory of that name inside a DIR), with a note that says what it does.
std::vector<std::string> root_name_notes(const Options &o) {
    std::vector<std::string> notes;
    for (const std::string &pattern : o.exclude_glob) {
        std::string body = pattern;
        const bool dir_only = !body.empty() && body.back() == '/';
        if (dir_only) body.pop_back();
        for (;;) {
            if (body.compare(0, 1, "/") == 0) body.erase(0, 1);
            else if (body.compare(0, 2, "./") == 0) body.erase(0, 2);
            else break;
        }
        const size_t slash = body.find('/');
        if (slash == std::string::npos) continue;
        const std::string first = body.substr(0, slash);
        for (const RootArg &r : o.roots) {
            std::string name = r.path;
            while (name.size() > 1 && (name.back() == '/' || name.back() == '\\')) name.pop_back();
            const size_t cut = name.find_last_of("/\\");
            if (cut != std::string::npos) name.erase(0, cut + 1);
            if (name != first) continue;
            notes.push_back("--exclude '" + escaped(pattern) +
                            "' is matched against the paths below each DIR, which do "
                            "not begin with the DIR's own name '" +
                            escaped(first) + "'; for the entries of the DIR " + escaped(r.path) + ", write '/" +
                            escaped(body.substr(slash + 1)) + (dir_only ? "/" : "") + "'");
            break;
        }
    }
    return notes;
}

// Reads --newer-than and --older-than (null when not given) into o. False,
// with the message, for a WHEN that is no date or for an empty window,
// which would collect nothing and say nothing of why.
bool parse_time_window(const std::string *newer, const std::string *older, Options *o, std::string *error) {
    const char *hint =
        " (an ISO 8601 date such as 2024-05-01, or date and time such as 2024-05-01T13:45 or "
        "2024-05-01T13:45:00+02:00)";
    if (newer && !parse_when(*newer, &o->newer_than)) {
        *error = "invalid time for --newer-than: '" + escaped(*newer) + "'" + hint;
        return false;
    }
    if (older && !parse_when(*older, &o->older_than)) {
        *error = "invalid time for --older-than: '" + escaped(*older) + "'" + hint;
        return false;
    }
    o->has_newer_than = newer != nullptr;
    o->has_older_than = older != nullptr;
    if (newer && older && o->newer_than >= o->older_than) {
        *error = "--newer-than " + escaped(*newer) + " is not before --older-than " + escaped(*older) +
                 ": no file can be both";
        return false;
    }
    return true;
}

// Every --exclude and --include pattern means something the library's
// matcher can match; otherwise *error names the first that does not.
bool check_patterns(const Options &o, std::string *error) {
    for (const std::string &pattern : o.exclude_glob)
        if (const char *why = dup_glob_problem(pattern.c_str())) {
            *error = "invalid pattern for --exclude: '" + escaped(pattern) + "': " + why;
            return false;
        }
    for (const std::string &pattern : o.include_glob) {
        if (const char *why = dup_glob_problem(pattern.c_str())) {
            *error = "invalid pattern for --include: '" + escaped(pattern) + "': " + why;
            return false;
        }
        if (dup_glob_dir_only(pattern.c_str())) {
            *error = "invalid pattern for --include: '" + escaped(pattern) +
                     "': it ends in '/', which matches directories only, and only files are included";
            return false;
        }
    }
    return true;
}

// --ui takes the scan and keep options; the page lists and acts itself.
bool check_ui(Options &o, bool idle_given, const std::string &idle, const std::string &format_option,
              std::string *error) {
    if (!o.ui) {
        const char *alone = o.no_browser ? "--no-browser" : idle_given ? "--idle-timeout" : nullptr;
        if (alone) *error = std::string(alone) + " needs --ui";
        return alone == nullptr;
    }
    if (idle_given && !parse_count(idle, &o.idle_timeout)) {
        *error = "invalid count for --idle-timeout: '" + escaped(idle) + "' (seconds; 0 means never)";
        return false;
    }
    const std::string clash = o.format != Format::Human     ? format_option
                              : o.summary                   ? "--summary"
                              : o.skipped                   ? "--skipped"
                              : o.interactive               ? "--interactive"
                              : o.dry_run                   ? "--dry-run"
                              : o.action == Action::Delete  ? "--delete"
                              : o.action == Action::Link    ? "--link"
                              : o.action == Action::Reflink ? "--reflink"
                                                            : "";
    if (clash.empty()) return true;
    *error = "--ui shows the groups on a page, where the action is chosen, and cannot be combined with " + clash;
    return false;
}

// The values of the options that take one, as typed.
struct Typed {
    std::string min_size, max_size, max_files, max_depth, keep, format, newer_than, older_than, sort, files_from;
    std::string cache;
    bool no_cache = false;
    std::vector<std::string> refs;
};

// The cache file of --cache: FILE as given, or the default under the
// user's cache directory. False, with the message, when there is none.
bool resolve_cache(const std::string &given, Options *o, std::string *error) {
    if (given != Parser::kNoValue) {
        o->cache = given;
        return true;
    }
    const char *xdg = std::getenv("XDG_CACHE_HOME");
    const char *home = std::getenv("HOME");
    // A relative XDG_CACHE_HOME is invalid and is ignored, as the base
    // directory rules say.
    if (xdg && *xdg == '/') o->cache = std::string(xdg) + "/dupfind/cache";
    else if (home && *home) o->cache = std::string(home) + "/.cache/dupfind/cache";
    else {
        *error = "--cache needs =FILE here: neither XDG_CACHE_HOME nor HOME is set";
        return false;
    }
    o->cache_default = true;
    return true;
}

// Reads --sort (null when not given) into o, and the paths of the
// --files-from list (null when not given) into *listed. False, with the
// message, for an unknown key or a list that cannot be read.
bool read_order_and_list(const std::string *sort, const std::string *files_from, bool from0, Options *o,
                         std::vector<std::string> *listed, std::string *error) {
    if (sort && !parse_group_sort(*sort, &o->sort)) {
        *error = "invalid value for --sort: '" + escaped(*sort) + "' (size, wasted, count or path)";
        return false;
    }
    if (from0 && !files_from) {
        *error = "--from0 needs --files-from";
        return false;
    }
    if (!files_from) return true;
    if (files_from->empty()) {
        *error = "--files-from needs a file name, or - for standard input";
        return false;
    }
    return read_path_list(*files_from, from0, listed, error);
}

// The options that mean something only beside others. False, with the
// message, for the first one given without them.
bool check_companions(const Options &o, std::string *error) {
    if (o.omit_first && o.format != Format::Fdupes && o.format != Format::Csv) {
        *error = "--omit-first needs --format fdupes or csv";
        return false;
    }
    if (o.keep_given && o.action == Action::None && !o.omit_first && !o.ui) {
        *error = "--keep needs --delete, --link, --reflink or --omit-first";
        return false;
    }
    if (o.allow_metadata && o.action != Action::Link && !o.ui) {
        *error = "--allow-metadata-change needs --link";
        return false;
    }
    if (o.dry_run && o.action == Action::None) {
        *error = "--dry-run needs --delete, --link or --reflink";
        return false;
    }
    // --keep gives the answer that Enter accepts under --interactive.
    if (o.interactive && o.summary) {
        *error = "--interactive asks which files to keep and cannot be combined with --summary";
        return false;
    }
    // The times are shown beside the names, which only these list.
    if (o.times && (o.format == Format::Fdupes || o.summary || (o.action != Action::None && !o.interactive))) {
        *error = "--times needs a listing of the files: the human format, --format csv or --interactive";
        return false;
    }
    return true;
}

}  // namespace

bool parse_options(int argc, char **argv, Options *o, std::string *error) {
    // The library takes UTF-8 text only; a path in another encoding would
    // otherwise fail the whole request with a message that names no
    // argument.
    for (int i = 1; i < argc; ++i)
        if (!check_utf8(argv, i, error)) return false;

    Parser p;
    Typed t;
    bool recursive = false, json = false, remove = false, link = false, reflink = false, from0 = false;
    p.flag("--help", &o->help);
    p.flag("--version", &o->version);
    CLI::Option *min_size_opt = p.value("--min-size", &t.min_size);
    CLI::Option *max_size_opt = p.value("--max-size", &t.max_size);
    p.values("--exclude", &o->exclude_glob);
    p.values("--exclude-text", &o->exclude_text);
    p.values("--include", &o->include_glob);
    p.flag("--ignore-case", &o->glob_ignore_case);
    p.flag("--skip-hidden", &o->skip_hidden);
    p.flag("--one-file-system", &o->one_file_system);
    CLI::Option *max_depth_opt = p.value("--max-depth", &t.max_depth);
    CLI::Option *newer_than_opt = p.value("--newer-than", &t.newer_than);
    CLI::Option *older_than_opt = p.value("--older-than", &t.older_than);
    p.flag("--follow-symlinks", &o->follow_symlinks);
    p.flag("--hard-links", &o->hard_links);
    CLI::Option *max_files_opt = p.value("--max-files", &t.max_files);
    p.flag("--recursive", &recursive);
    CLI::Option *files_from_opt = p.value("--files-from", &t.files_from);
    p.flag("--from0", &from0);
    CLI::Option *cache_opt = p.cache_options(&t.cache, &t.no_cache);
    CLI::Option *reference_opt = p.values("--reference", &t.refs);
    p.flag("--isolate", &o->isolate);
    CLI::Option *format_opt = p.value("--format", &t.format);
    p.flag("--json", &json);
    p.flag("--null", &o->null);
    p.flag("--omit-first", &o->omit_first);
    CLI::Option *sort_opt = p.value("--sort", &t.sort);
    p.flag("--reverse", &o->reverse);
    p.flag("--times", &o->times);
    p.flag("--summary", &o->summary);
    p.flag("--skipped", &o->skipped);
    p.flag("--quiet", &o->quiet);
    p.flag("--delete", &remove);
    p.flag("--link", &link);
    p.flag("--reflink", &reflink);
    p.flag("--allow-metadata-change", &o->allow_metadata);
    CLI::Option *keep_opt = p.value("--keep", &t.keep);
    p.flag("--dry-run", &o->dry_run);
    p.flag("--interactive", &o->interactive);
    p.ui_options(o);
    if (!p.parse(argc, argv, error)) return false;
    if (o->help || o->version) return true;
    if (std::string unknown = p.unknown(argc, argv); !unknown.empty()) {
        *error = "unknown option '" + escaped(unknown) + "' (see dupfind --help)";
        return false;
    }
    if (!check_patterns(*o, error)) return false;
    std::vector<std::string> listed;
    if (!read_order_and_list(sort_opt->count() ? &t.sort : nullptr, files_from_opt->count() ? &t.files_from : nullptr,
                             from0, o, &listed, error))
        return false;
    o->roots = p.roots(reference_opt, t.refs, files_from_opt, listed);
    if (cache_opt->count() && !t.no_cache && !resolve_cache(t.cache, o, error)) return false;

    const char *size_hint = " (a number of bytes, optionally with K, M, G or T)";
    if (min_size_opt->count() && !parse_size(t.min_size, &o->min_size)) {
        *error = "invalid size for --min-size: '" + escaped(t.min_size) + "'" + size_hint;
        return false;
    }
    if (max_size_opt->count() && !parse_size(t.max_size, &o->max_size)) {
        *error = "invalid size for --max-size: '" + escaped(t.max_size) + "'" + size_hint;
        return false;
    }
    // A file smaller than the one and larger than the other does not
    // exist: the scan would find nothing and say nothing of why.
    if (o->max_size >= 0 && o->min_size > o->max_size) {
        const std::string min = min_size_opt->count() ? "--min-size " + t.min_size : "the default --min-size 1";
        *error = min + " is larger than --max-size " + t.max_size + ": no file can be both" +
                 (min_size_opt->count() ? "" : " (--min-size 0 includes empty files)");
        return false;
    }
    if (max_files_opt->count() && !parse_count(t.max_files, &o->max_files)) {
        *error = "invalid count for --max-files: '" + escaped(t.max_files) + "' (0 or more; 0 means no limit)";
        return false;
    }
    // 0 is refused rather than read as find reads it (the DIR alone, so nothing to compare): a command
    // line written when 0 meant "the DIR's own entries" fails loudly instead of finding nothing.
    if (max_depth_opt->count() && (!parse_count(t.max_depth, &o->max_depth) || o->max_depth == 0)) {
        *error = "invalid count for --max-depth: '" + escaped(t.max_depth) +
                 "' (1 or more; 1 means only the DIR's own entries)";
        return false;
    }
    if (!parse_time_window(newer_than_opt->count() ? &t.newer_than : nullptr,
                           older_than_opt->count() ? &t.older_than : nullptr, o, error))
        return false;
    if (keep_opt->count() && !parse_keep(t.keep, &o->keep)) {
        *error = "invalid value for --keep: '" + escaped(t.keep) + "' (first, newest, oldest or shortest-path)";
        return false;
    }
    o->keep_given = keep_opt->count() > 0;
    if (format_opt->count() && !parse_format(t.format, &o->format)) {
        *error = "invalid value for --format: '" + escaped(t.format) + "' (human, json, fdupes or csv)";
        return false;
    }
    std::vector<std::string> actions;
    if (remove) actions.push_back("--delete");
    if (link) actions.push_back("--link");
    if (reflink) actions.push_back("--reflink");
    if (actions.size() > 1) {
        *error = actions[0] + " and " + actions[1] + " are different actions and cannot be combined";
        return false;
    }
    o->action = remove ? Action::Delete : link ? Action::Link : reflink ? Action::Reflink : Action::None;
    // Asking group by group is a way of acting, by default of removing.
    if (o->interactive && o->action == Action::None) o->action = Action::Delete;

    // The t.format, and the option that chose it, for the messages.
    std::string chosen = format_opt->count() ? "--format " + t.format : "";
    if (json) {
        if (format_opt->count() && o->format != Format::Json) {
            *error = "--json is --format json and cannot be combined with " + chosen;
            return false;
        }
        o->format = Format::Json;
        chosen = "--json";
    }
    // NUL ends only the paths of the fdupes t.format, so asking for it asks
    // for that t.format.
    if (o->null) {
        if ((format_opt->count() || json) && o->format != Format::Fdupes) {
            *error = "--null ends the paths of --format fdupes and cannot be combined with " + chosen;
            return false;
        }
        o->format = Format::Fdupes;
        if (chosen.empty()) chosen = "--null";
    }

    bool reference = false, plain = false;
    for (const RootArg &r : o->roots) (r.reference ? reference : plain) = true;
    // The first option of the run that a t.format meant for programs leaves
    // no room for: those that print or do something besides the listing,
    // and for json, whose text is the library's, those that change which
    // groups or files are listed.
    const bool json_out = o->format == Format::Json;
    const char *clash = o->summary         ? "--summary"
                        : o->skipped       ? "--skipped"
                        : o->interactive   ? "--interactive"
                        : !actions.empty() ? actions[0].c_str()
                                           : nullptr;
    if (json_out && !clash)
        clash = reference           ? "--reference"
                : o->isolate        ? "--isolate"
                : o->omit_first     ? "--omit-first"
                : sort_opt->count() ? "--sort"
                : o->reverse        ? "--reverse"
                : o->times          ? "--times"
                                    : nullptr;
    if (o->format != Format::Human && clash) {
        *error = chosen + (json_out ? " prints the results text alone" : " lists the groups alone") +
                 " and cannot be combined with " + clash;
        return false;
    }
    if (!check_ui(*o, p.idle_given(), p.idle(), chosen, error) || !check_companions(*o, error)) return false;
    if (!plain) {
        *error = reference ? "no directory given besides the --reference ones (see dupfind --help)"
                           : "no directory given (see dupfind --help)";
        return false;
    }
    o->notes = root_name_notes(*o);
    return true;
}

const char *usage_text() {
    static const std::string text = build_usage();
    return text.c_str();
}

}  // namespace dfcli
