// SPDX-License-Identifier: MIT
// Fuzz target: the results text, built from a scan record whose groups and
// skipped entries carry arbitrary byte strings (invalid UTF-8 and null
// entries included).
//
// Properties: the build fails exactly when some string is not valid UTF-8,
// and then leaves the stored text alone; otherwise the text is compact and
// reads back to exactly the record's values.
#include <rapidjson/document.h>

#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "results.h"
#include "scan.h"

namespace {

// Takes values from the input front to back; past its end every value is 0.
struct input_reader {
    const uint8_t *p;
    size_t left;

    uint8_t byte() {
        if (!left) return 0;
        left--;
        return *p++;
    }
    uint64_t u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; i++) v = (v << 8) | byte();
        return v;
    }
    // A length byte, then that many bytes; the length 255 stands for a null
    // pointer. A NUL byte inside ends the C string early, as it would for
    // any path the library holds.
    char *string_or_null() {
        uint8_t len = byte();
        if (len == 255) return nullptr;
        std::string s;
        for (uint8_t i = 0; i < len && left; i++) s.push_back(static_cast<char>(byte()));
        return dup_strdup(s.c_str());
    }
};

// No raw control character anywhere, and no whitespace between tokens.
bool compact(const char *text) {
    bool in_string = false, escaped = false;
    for (const char *c = text; *c; c++) {
        unsigned char u = static_cast<unsigned char>(*c);
        if (u < 0x20) return false;
        if (in_string) {
            if (escaped) escaped = false;
            else if (u == '\\') escaped = true;
            else if (u == '"') in_string = false;
        } else if (u == '"') {
            in_string = true;
        } else if (u == ' ') {
            return false;
        }
    }
    return !in_string;
}

bool same_string(const rapidjson::Value &v, const char *want) {
    if (!v.IsString()) return false;
    if (!want) want = "";
    return v.GetStringLength() == strlen(want) && memcmp(v.GetString(), want, strlen(want)) == 0;
}

void check(dup_scan_t &s) {
    bool any_invalid = false;
    for (int32_t g = 0; g < s.n_groups; g++)
        for (int32_t f = 0; f < s.groups[g].n_files; f++)
            if (s.groups[g].files[f] && !fuzz_valid_utf8(s.groups[g].files[f])) any_invalid = true;
    for (int32_t k = 0; k < s.n_skipped; k++) {
        if (s.skipped[k].path && !fuzz_valid_utf8(s.skipped[k].path)) any_invalid = true;
        if (!dup_skip_reason_name(s.skipped[k].reason)) any_invalid = true;
    }

    char *before = dup_strdup("an earlier text");
    s.results_json = before;
    const dup_result r = dup_build_results_json(&s);
    if (any_invalid) {
        FUZZ_REQUIRE(r == DUP_FAILED);
        FUZZ_REQUIRE(s.results_json == before);
        return;
    }
    FUZZ_REQUIRE(r == DUP_OK);
    FUZZ_REQUIRE(s.results_json != nullptr);
    const char *text = s.results_json;
    FUZZ_REQUIRE(compact(text));

    rapidjson::Document d;
    d.Parse<rapidjson::kParseValidateEncodingFlag>(text);
    FUZZ_REQUIRE(!d.HasParseError() && d.IsObject());
    FUZZ_REQUIRE(d.MemberCount() == 4);
    auto m = d.MemberBegin();
    FUZZ_REQUIRE(strcmp(m[0].name.GetString(), "groups") == 0 && m[0].value.IsArray());
    FUZZ_REQUIRE(strcmp(m[1].name.GetString(), "wasted_bytes") == 0 && m[1].value.IsInt64() &&
                 m[1].value.GetInt64() == s.wasted_bytes);
    FUZZ_REQUIRE(strcmp(m[2].name.GetString(), "scanned_files") == 0 && m[2].value.IsInt64() &&
                 m[2].value.GetInt64() == s.scanned_files);
    FUZZ_REQUIRE(strcmp(m[3].name.GetString(), "skipped") == 0 && m[3].value.IsArray());

    const auto &groups = m[0].value;
    FUZZ_REQUIRE(groups.Size() == static_cast<rapidjson::SizeType>(s.n_groups));
    for (int32_t g = 0; g < s.n_groups; g++) {
        const dup_group_t &grp = s.groups[g];
        const auto &o = groups[static_cast<rapidjson::SizeType>(g)];
        FUZZ_REQUIRE(o.IsObject() && o.MemberCount() == 3);
        char hex[17];
        snprintf(hex, sizeof hex, "%016" PRIx64, grp.hash);
        auto gm = o.MemberBegin();
        FUZZ_REQUIRE(strcmp(gm[0].name.GetString(), "hash") == 0 && same_string(gm[0].value, hex));
        FUZZ_REQUIRE(strcmp(gm[1].name.GetString(), "size") == 0 && gm[1].value.IsInt64() &&
                     gm[1].value.GetInt64() == grp.size);
        FUZZ_REQUIRE(strcmp(gm[2].name.GetString(), "files") == 0 && gm[2].value.IsArray());
        rapidjson::SizeType j = 0;
        for (int32_t f = 0; f < grp.n_files; f++) {
            if (!grp.files[f]) continue;  // a null path is left out
            FUZZ_REQUIRE(j < gm[2].value.Size() && same_string(gm[2].value[j], grp.files[f]));
            j++;
        }
        FUZZ_REQUIRE(j == gm[2].value.Size());
    }
    const auto &skipped = m[3].value;
    FUZZ_REQUIRE(skipped.Size() == static_cast<rapidjson::SizeType>(s.n_skipped));
    for (int32_t k = 0; k < s.n_skipped; k++) {
        const auto &o = skipped[static_cast<rapidjson::SizeType>(k)];
        FUZZ_REQUIRE(o.IsObject() && o.MemberCount() == 2);
        auto km = o.MemberBegin();
        FUZZ_REQUIRE(strcmp(km[0].name.GetString(), "path") == 0 && same_string(km[0].value, s.skipped[k].path));
        FUZZ_REQUIRE(strcmp(km[1].name.GetString(), "reason") == 0 &&
                     same_string(km[1].value, dup_skip_reason_name(s.skipped[k].reason)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input_reader in{data, size};
    dup_scan_t s;
    std::memset(static_cast<void *>(&s), 0, sizeof s);

    s.n_groups = s.cap_groups = in.byte() % 6;
    s.n_skipped = s.cap_skipped = in.byte() % 8;
    s.wasted_bytes = static_cast<int64_t>(in.u64());
    s.scanned_files = static_cast<int64_t>(in.u64());
    if (s.n_groups) s.groups = static_cast<dup_group_t *>(calloc(static_cast<size_t>(s.n_groups), sizeof(dup_group_t)));
    for (int32_t g = 0; g < s.n_groups; g++) {
        dup_group_t &grp = s.groups[g];
        grp.hash = in.u64();
        grp.size = static_cast<int64_t>(in.u64());
        grp.n_files = in.byte() % 5;
        if (grp.n_files) grp.files = static_cast<char **>(calloc(static_cast<size_t>(grp.n_files), sizeof(char *)));
        for (int32_t f = 0; f < grp.n_files; f++) grp.files[f] = in.string_or_null();
    }
    if (s.n_skipped)
        s.skipped = static_cast<dup_skip_t *>(calloc(static_cast<size_t>(s.n_skipped), sizeof(dup_skip_t)));
    for (int32_t k = 0; k < s.n_skipped; k++) {
        s.skipped[k].path = in.string_or_null();
        // Mostly reasons of the table, now and then one outside it.
        s.skipped[k].reason = static_cast<dup_skip_reason>(in.byte() % (DUP_SKIP_REASON_COUNT + 2));
    }

    check(s);
    free_scan_data(&s);
    return 0;
}
