// SPDX-License-Identifier: MIT
// Fuzz target: the scan request. The input is dirs_json, optionally followed
// by a NUL byte and options_json (no NUL: options_json is a null pointer).
// Both are read into a slot of the scan table exactly as a scan start reads
// them, and the slot is given back, so the fuzzer never runs out of the 32
// scans a process may start; no roots are registered and no walk runs.
//
// The process works inside a small fixed tree, so relative roots in the seed
// corpus ("tree", "tree/sub", "file", "missing", ...) name real objects.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "fuzz_check.h"
#include "request.h"
#include "scan_table.h"

namespace {

void put_file(const std::string &path, const char *content) {
    if (FILE *f = fopen(path.c_str(), "wb")) {
        fputs(content, f);
        fclose(f);
    }
}

std::string g_fixture;

void remove_fixture() {
    for (const char *f : {"link", "file", "tree/sub/b", "tree/a"}) unlink((g_fixture + "/" + f).c_str());
    for (const char *d : {"tree/sub", "tree", ""}) rmdir((g_fixture + "/" + d).c_str());
}

// Creates the tree once per process and makes it the working directory.
void enter_fixture() {
    if (!g_fixture.empty()) return;
    const char *base = getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/dupfind-fuzz-XXXXXX";
    if (!mkdtemp(dir.data()) || chdir(dir.c_str()) != 0) abort();
    g_fixture = dir;
    atexit(remove_fixture);
    mkdir("tree", 0755);
    mkdir("tree/sub", 0755);
    put_file("tree/a", "same");
    put_file("tree/sub/b", "same");
    put_file("file", "a root that is a file");
    if (symlink("tree", "link") != 0) abort();
}

const std::set<std::string> &messages() {
    static const std::set<std::string> m{
        "invalid options_json", "options_json must be object", "oom",
        "dirs_json required",   "invalid dirs_json",           "dirs_json must be array",
        "dirs_json empty",      "no valid directories"};
    return m;
}

void check_slot(const dup_scan_t *s, dup_result r) {
    if (r != DUP_OK) {
        FUZZ_REQUIRE(messages().count(dup_result_message(r)) == 1);
        return;
    }
    FUZZ_REQUIRE(s->n_roots >= 1 && s->roots);
    FUZZ_REQUIRE(s->n_real_roots >= 0 && s->n_real_roots <= s->n_roots);
    for (int32_t i = 0; i < s->n_roots; i++) {
        FUZZ_REQUIRE(s->roots[i] != nullptr);
        // The reader validates the text, but an escaped lone surrogate
        // (\udc00) decodes to bytes that are not UTF-8; such a root must
        // not reach the walk unnoticed.
        FUZZ_REQUIRE(fuzz_valid_utf8(s->roots[i]));
    }
    for (int32_t i = 0; i < s->n_real_roots; i++) {
        const char *real = s->real_roots[i];
        FUZZ_REQUIRE(real && real[0] == '/');
        size_t n = strlen(real);
        FUZZ_REQUIRE(n == 1 || real[n - 1] != '/');
        struct stat st;
        FUZZ_REQUIRE(lstat(real, &st) == 0 && !S_ISLNK(st.st_mode));
    }
    FUZZ_REQUIRE(s->follow_symlinks == 0 || s->follow_symlinks == 1);
    FUZZ_REQUIRE(s->n_exclude >= 0 && (s->n_exclude == 0) == (s->exclude == nullptr));
    for (int32_t i = 0; i < s->n_exclude; i++) FUZZ_REQUIRE(!s->exclude[i] || fuzz_valid_utf8(s->exclude[i]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    enter_fixture();
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t nul = input.find('\0');
    std::string dirs = input.substr(0, nul);
    const char *options = nullptr;
    std::string options_text;
    if (nul != std::string::npos) {
        options_text = input.substr(nul + 1);
        options = options_text.c_str();
    }

    g_mu.lock();
    dup_scan_t *s = dup_scan_alloc();
    FUZZ_REQUIRE(s != nullptr);
    check_slot(s, dup_parse_request(s, dirs.c_str(), options));
    dup_scan_release(s);
    g_mu.unlock();
    return 0;
}
