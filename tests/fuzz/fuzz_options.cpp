// SPDX-License-Identifier: MIT
// Fuzz target: the tool's command line. The input is the arguments after
// the program name, each ended by a NUL byte (the last one by the input's
// end). They go through what the tool runs before a scan starts: the
// parser and its checks, the roots, and the request sent to the library.
//
// The process works inside a small fixed tree (a directory, a file, two
// --files-from lists), standard input ("--files-from -") reads nothing, and
// an input whose --files-from names anything but an entry of that tree is
// passed over, so that no input has the target read a file of the machine.
//
// Properties: no exception escapes; a usage error is one line of UTF-8; an
// accepted command line gives a request that is well-formed JSON, whose
// directories are the roots' and whose options are the parsed ones, with
// every pattern one the library's matcher accepts.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "fuzz_check.h"
#include "glob.h"
#include "options.h"
#include "root_set.h"
#include "scan_request.h"

namespace {

std::string g_fixture;

void put_file(const char *path, const std::string &content) {
    if (FILE *f = fopen(path, "wb")) {
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
}

void remove_fixture() {
    for (const char *f : {"list", "list0", "file", "tree/a"}) unlink((g_fixture + "/" + f).c_str());
    for (const char *d : {"tree", ""}) rmdir((g_fixture + "/" + d).c_str());
}

void enter_fixture() {
    if (!g_fixture.empty()) return;
    const char *base = getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/dupfind-fuzz-options-XXXXXX";
    if (!mkdtemp(dir.data()) || chdir(dir.c_str()) != 0) abort();
    g_fixture = dir;
    atexit(remove_fixture);
    mkdir("tree", 0755);
    put_file("tree/a", "same");
    put_file("file", "a root that is a file");
    put_file("list", "tree\nfile\r\n\n");
    put_file("list0", std::string("tree\0file\0", 10));
    if (!freopen("/dev/null", "rb", stdin)) abort();
}

// Whether every --files-from value names an entry of the fixture.
bool lists_stay_inside(const std::vector<std::string> &args) {
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        if (a == "--") return true;
        std::string value;
        if (a == "--files-from") value = i + 1 < args.size() ? args[i + 1] : "";
        else if (a.rfind("--files-from=", 0) == 0) value = a.substr(13);
        else continue;
        if (value == ".." || value.find('/') != std::string::npos) return false;
    }
    return true;
}

bool one_line(const std::string &s) {
    return !s.empty() && s.find('\n') == std::string::npos && s.find('\r') == std::string::npos &&
           fuzz_valid_utf8(s.c_str());
}

void check_strings(const rapidjson::Value &v, const std::vector<std::string> &expected) {
    FUZZ_REQUIRE(v.IsArray() && v.Size() == expected.size());
    for (rapidjson::SizeType i = 0; i < v.Size(); i++)
        FUZZ_REQUIRE(v[i].IsString() && std::string(v[i].GetString(), v[i].GetStringLength()) == expected[i]);
}

void check_int(const rapidjson::Document &d, const char *key, bool present, int64_t value) {
    FUZZ_REQUIRE(d.HasMember(key) == present);
    if (present) FUZZ_REQUIRE(d[key].IsInt64() && d[key].GetInt64() == value);
}

void check_request(const dfcli::Options &o) {
    const dfcli::RootSet roots(o.roots);
    const std::string dirs = dfcli::dirs_json(roots), options = dfcli::options_json(o);
    rapidjson::Document d;
    d.Parse<rapidjson::kParseValidateEncodingFlag>(dirs.c_str(), dirs.size());
    FUZZ_REQUIRE(!d.HasParseError());
    check_strings(d, roots.walk_order());

    d.Parse<rapidjson::kParseValidateEncodingFlag>(options.c_str(), options.size());
    FUZZ_REQUIRE(!d.HasParseError() && d.IsObject());
    check_int(d, "min_size", true, o.min_size);
    check_int(d, "max_files", true, o.max_files);
    check_int(d, "max_size", o.max_size >= 0, o.max_size);
    check_int(d, "max_depth", o.max_depth >= 0, o.max_depth);
    check_int(d, "newer_than", o.has_newer_than, o.newer_than);
    check_int(d, "older_than", o.has_older_than, o.older_than);
    check_strings(d["exclude"], o.exclude_text);
    check_strings(d["exclude_glob"], o.exclude_glob);
    if (!o.include_glob.empty()) check_strings(d["include_glob"], o.include_glob);
    FUZZ_REQUIRE(d.HasMember("include_glob") == !o.include_glob.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    enter_fixture();
    std::vector<std::string> args{"dupfind"};
    const std::string input(reinterpret_cast<const char *>(data), size);
    for (size_t start = 0; start < input.size();) {
        const size_t nul = input.find('\0', start);
        args.push_back(input.substr(start, nul - start));
        start = nul == std::string::npos ? input.size() : nul + 1;
    }
    if (!lists_stay_inside(args)) return 0;
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    dfcli::Options o;
    std::string error;
    if (!dfcli::parse_options(static_cast<int>(args.size()), argv.data(), &o, &error)) {
        FUZZ_REQUIRE(one_line(error));
        return 0;
    }
    FUZZ_REQUIRE(error.empty());
    if (o.help || o.version) return 0;
    for (const std::string &note : o.notes) FUZZ_REQUIRE(one_line(note));
    FUZZ_REQUIRE(o.min_size >= 0 && o.max_size >= -1 && (o.max_size < 0 || o.min_size <= o.max_size));
    FUZZ_REQUIRE(o.max_files >= 0 && o.max_depth >= -1 && o.idle_timeout >= 0);
    FUZZ_REQUIRE(!o.has_newer_than || !o.has_older_than || o.newer_than < o.older_than);
    for (const std::string &p : o.exclude_glob) FUZZ_REQUIRE(dup_glob_problem(p.c_str()) == nullptr);
    for (const std::string &p : o.include_glob)
        FUZZ_REQUIRE(dup_glob_problem(p.c_str()) == nullptr && !dup_glob_dir_only(p.c_str()));
    check_request(o);
    return 0;
}
