// SPDX-License-Identifier: MIT
#include "results_text.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cstring>

namespace dfcli {

namespace {

using rapidjson::Value;

bool get_int(const Value &obj, const char *key, int64_t *out) {
    auto it = obj.FindMember(key);
    if (it == obj.MemberEnd() || !it->value.IsInt64()) return false;
    *out = it->value.GetInt64();
    return true;
}

bool get_string(const Value &obj, const char *key, std::string *out) {
    auto it = obj.FindMember(key);
    if (it == obj.MemberEnd() || !it->value.IsString()) return false;
    out->assign(it->value.GetString(), it->value.GetStringLength());
    return true;
}

const Value *get_array(const Value &obj, const char *key) {
    auto it = obj.FindMember(key);
    if (it == obj.MemberEnd() || !it->value.IsArray()) return nullptr;
    return &it->value;
}

}  // namespace

bool parse_results(const char *text, Results *out, std::string *why) {
    rapidjson::Document doc;
    doc.Parse(text);
    if (doc.HasParseError()) {
        *why = std::string("results text is not JSON: ") + rapidjson::GetParseError_En(doc.GetParseError());
        return false;
    }
    if (!doc.IsObject()) {
        *why = "results text is not an object";
        return false;
    }
    const Value *groups = get_array(doc, "groups");
    const Value *skipped = get_array(doc, "skipped");
    if (!groups || !skipped || !get_int(doc, "wasted_bytes", &out->wasted_bytes) ||
        !get_int(doc, "scanned_files", &out->scanned_files)) {
        *why = "results text lacks a member";
        return false;
    }
    for (const Value &g : groups->GetArray()) {
        Group group;
        const Value *files = g.IsObject() ? get_array(g, "files") : nullptr;
        if (!files || !get_string(g, "hash", &group.hash) || !get_int(g, "size", &group.size)) {
            *why = "results text has a malformed group";
            return false;
        }
        for (const Value &f : files->GetArray()) {
            // A path with a NUL in it names no file; acting on its first
            // part would touch a different one.
            if (!f.IsString() || std::memchr(f.GetString(), '\0', f.GetStringLength()) != nullptr) {
                *why = "results text has a malformed path";
                return false;
            }
            group.files.emplace_back(f.GetString(), f.GetStringLength());
        }
        out->groups.push_back(std::move(group));
    }
    for (const Value &s : skipped->GetArray()) {
        Skipped entry;
        if (!s.IsObject() || !get_string(s, "path", &entry.path) || !get_string(s, "reason", &entry.reason)) {
            *why = "results text has a malformed skipped entry";
            return false;
        }
        out->skipped.push_back(std::move(entry));
    }
    return true;
}

}  // namespace dfcli
