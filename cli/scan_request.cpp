// SPDX-License-Identifier: MIT
#include "scan_request.h"

#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace dfcli {

std::string dirs_json(const RootSet &roots) {
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    w.StartArray();
    for (const std::string &root : roots.walk_order())
        w.String(root.data(), static_cast<rapidjson::SizeType>(root.size()));
    w.EndArray();
    return sb.GetString();
}

std::string options_json(const Options &o) {
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    w.StartObject();
    w.Key("min_size");
    w.Int64(o.min_size);
    w.Key("follow_symlinks");
    w.Bool(o.follow_symlinks);
    w.Key("max_files");
    w.Int64(o.max_files);
    w.Key("hard_links");
    w.Bool(o.hard_links);
    // "No limit" is the library's default for these two, which take no
    // negative value: the key is left out.
    if (o.max_size >= 0) {
        w.Key("max_size");
        w.Int64(o.max_size);
    }
    w.Key("skip_hidden");
    w.Bool(o.skip_hidden);
    w.Key("one_file_system");
    w.Bool(o.one_file_system);
    if (o.max_depth >= 0) {
        w.Key("max_depth");
        w.Int64(o.max_depth);
    }
    if (o.has_newer_than) {
        w.Key("newer_than");
        w.Int64(o.newer_than);
    }
    if (o.has_older_than) {
        w.Key("older_than");
        w.Int64(o.older_than);
    }
    auto strings = [&w](const char *key, const std::vector<std::string> &list) {
        w.Key(key);
        w.StartArray();
        for (const std::string &e : list) w.String(e.data(), static_cast<rapidjson::SizeType>(e.size()));
        w.EndArray();
    };
    strings("exclude", o.exclude_text);
    strings("exclude_glob", o.exclude_glob);
    // Left out when unused, as a request without them asks nothing new.
    if (!o.include_glob.empty()) strings("include_glob", o.include_glob);
    if (o.glob_ignore_case) {
        w.Key("glob_ignore_case");
        w.Bool(true);
    }
    if (!o.cache.empty()) {
        w.Key("cache");
        w.String(o.cache.data(), static_cast<rapidjson::SizeType>(o.cache.size()));
    }
    w.EndObject();
    return sb.GetString();
}

}  // namespace dfcli
