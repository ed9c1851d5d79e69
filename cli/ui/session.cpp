// SPDX-License-Identifier: MIT
#include "ui/session.h"

#include <algorithm>
#include <map>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "act.h"
#include "format.h"
#include "platform.h"
#include "utf8.h"

namespace dfcli::ui {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void put_string(Writer &w, const std::string &s) { w.String(s.data(), static_cast<rapidjson::SizeType>(s.size())); }

Answer refuse(int status, const std::string &why) { return {status, "text/plain; charset=utf-8", why + "\n"}; }

const char *stage_of(int progress) {
    if (progress <= 0) return "starting";
    if (progress < 40) return "walking the directories";
    if (progress < 96) return "comparing files";
    if (progress < 100) return "writing the results";
    return "done";
}

const char *phase_name(Phase p) {
    switch (p) {
    case Phase::Ready: return "ready";
    case Phase::Cancelled: return "cancelled";
    case Phase::Failed: return "failed";
    default: return "scanning";
    }
}

// An index of the page's request: decimal digits only, below `count`.
bool parse_index(const std::string &text, size_t count, size_t *out) {
    if (text.empty() || text.size() > 9) return false;
    size_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<size_t>(c - '0');
    }
    if (v >= count) return false;
    *out = v;
    return true;
}

// The folder a copy's waste is counted under: the DIR it lies below and the
// first name below it.
std::string folder_of(const std::string &path, const RootSet &roots) {
    const RootPlace p = roots.place(path);
    if (p.root < 0) return "(elsewhere)";
    const Root &root = roots.roots()[static_cast<size_t>(p.root)];
    const std::string &sent = root.sent;
    size_t start = sent.size();
    if (path.compare(0, sent.size(), sent) != 0) return root.shown;
    if (start < path.size() && path[start] == '/') ++start;
    const size_t slash = path.find('/', start);
    if (slash == std::string::npos) return root.shown + " (files at its top)";
    return root.shown + (root.shown.empty() || root.shown.back() == '/' ? "" : "/") + path.substr(start, slash - start);
}

}  // namespace

Session::Session(const Options &o, const RootSet &roots)
    : options_(o), roots_(roots), start_(std::chrono::steady_clock::now()) {}

void Session::set_progress(int progress) {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_ = progress;
}

void Session::set_finished(Phase phase, const std::string &error) {
    std::lock_guard<std::mutex> lock(mutex_);
    phase_ = phase;
    error_ = error;
    seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (phase == Phase::Ready) progress_ = 100;
}

Rules Session::rules(Action action) const {
    Rules r;
    r.action = action;
    r.keep = options_.keep;
    r.keep_given = options_.keep_given;
    r.accept_metadata = options_.allow_metadata;
    return r;
}

bool Session::load(const char *text, const GroupFilter &filter, std::string *error) {
    Results r;
    if (!parse_results(text, &r, error)) return false;
    std::vector<ShownGroup> shown;
    for (size_t index : filter(r)) {
        const Group &g = r.groups[index];
        ShownGroup s;
        s.result = index;
        for (const std::string &path : g.files) {
            s.reference.push_back(roots_.place(path).reference);
            s.previews.push_back(preview_by_name(path));
            FileStatus st;
            s.mtimes.push_back(file_status(path, &st) ? st.mtime_ns / 1000000000 : 0);
        }
        // What the options would keep, shown as the first choice.
        s.preselected = decide(g, nullptr, roots_, rules(Action::Delete), Acted(), false).keep;
        shown.push_back(std::move(s));
    }
    // Largest waste first.
    auto waste = [&r](const ShownGroup &s) {
        const Group &g = r.groups[s.result];
        return g.size * static_cast<int64_t>(g.files.size() - 1);
    };
    std::stable_sort(shown.begin(), shown.end(),
                     [&waste](const ShownGroup &a, const ShownGroup &b) { return waste(a) > waste(b); });
    std::lock_guard<std::mutex> lock(mutex_);
    results_ = std::move(r);
    shown_ = std::move(shown);
    return true;
}

Answer Session::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    rapidjson::StringBuffer sb;
    Writer w(sb);
    w.StartObject();
    w.Key("phase");
    w.String(phase_name(phase_));
    w.Key("progress");
    w.Int(progress_);
    w.Key("stage");
    w.String(phase_ == Phase::Scanning ? stage_of(progress_) : phase_name(phase_));
    w.Key("elapsed");
    w.Double(phase_ == Phase::Scanning
                 ? std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count()
                 : seconds_);
    w.Key("error");
    put_string(w, error_);
    w.EndObject();
    return {200, "application/json", sb.GetString()};
}

Answer Session::groups() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (phase_ != Phase::Ready) return refuse(409, "the scan has not finished");
    rapidjson::StringBuffer sb;
    Writer w(sb);
    std::map<std::string, int64_t> by_folder;
    int64_t reclaimable = 0;
    w.StartObject();
    w.Key("groups");
    w.StartArray();
    for (size_t gi = 0; gi < shown_.size(); ++gi) {
        const ShownGroup &s = shown_[gi];
        const Group &g = results_.groups[s.result];
        w.StartObject();
        w.Key("index");
        w.Uint64(gi);
        w.Key("size");
        w.Int64(g.size);
        w.Key("hash");
        put_string(w, g.hash);
        w.Key("keep");
        w.StartArray();
        for (size_t k : s.preselected) w.Uint64(k);
        w.EndArray();
        w.Key("files");
        w.StartArray();
        for (size_t fi = 0; fi < g.files.size(); ++fi) {
            const bool kept = std::find(s.preselected.begin(), s.preselected.end(), fi) != s.preselected.end();
            const bool gone = gone_.count({gi, fi}) > 0;
            // With no keep chosen yet the first file stands for the one that stays.
            const bool stays = s.preselected.empty() ? fi == 0 : kept;
            if (!stays && !gone) {
                by_folder[folder_of(g.files[fi], roots_)] += g.size;
                reclaimable += g.size;
            }
            w.StartObject();
            w.Key("index");
            w.Uint64(fi);
            w.Key("path");
            put_string(w, roots_.show(g.files[fi]));
            w.Key("mtime");
            w.Int64(s.mtimes[fi]);
            w.Key("reference");
            w.Bool(s.reference[fi]);
            w.Key("preview");
            w.String(preview_name(s.previews[fi]));
            w.Key("gone");
            w.Bool(gone);
            w.EndObject();
        }
        w.EndArray();
        w.EndObject();
    }
    w.EndArray();
    w.Key("reclaimable");
    w.Int64(reclaimable);
    // Where the waste lies, largest first.
    std::vector<std::pair<std::string, int64_t>> folders(by_folder.begin(), by_folder.end());
    std::stable_sort(folders.begin(), folders.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
    w.Key("folders");
    w.StartArray();
    for (const auto &[name, bytes] : folders) {
        w.StartObject();
        w.Key("folder");
        put_string(w, name);
        w.Key("bytes");
        w.Int64(bytes);
        w.EndObject();
    }
    w.EndArray();
    w.Key("roots");
    w.StartArray();
    for (const Root &root : roots_.roots()) put_string(w, roots_.show(root.sent));
    w.EndArray();
    w.Key("scanned");
    w.Int64(results_.scanned_files);
    w.EndObject();
    return {200, "application/json", sb.GetString()};
}

Answer Session::file(const std::string &group, const std::string &file, bool text) const {
    std::string path;
    Preview preview = Preview::None;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (phase_ != Phase::Ready) return refuse(409, "the scan has not finished");
        size_t gi = 0, fi = 0;
        if (!parse_index(group, shown_.size(), &gi)) return refuse(404, "no such group");
        const Group &g = results_.groups[shown_[gi].result];
        if (!parse_index(file, g.files.size(), &fi)) return refuse(404, "no such file in the group");
        if (gone_.count({gi, fi}) > 0) return refuse(404, "the file was removed");
        path = g.files[fi];
        preview = shown_[gi].previews[fi];
    }
    if ((preview == Preview::Text) != text || preview == Preview::None)
        return refuse(415, "no preview of this kind for the file");
    // The file is read from its DIR down without following a link, like
    // every act of the tool: a name replaced by a link meanwhile cannot lead
    // the read elsewhere.
    if (!link_problem(path, roots_).empty()) return refuse(403, "the file is reached through a symbolic link");
    constexpr size_t kTextBytes = 4096;
    constexpr size_t kMediaBytes = 64u << 20;
    std::string bytes, why;
    bool whole = false;
    if (!read_file_start(rooted(path, roots_), text ? kTextBytes : kMediaBytes, &bytes, &whole, &why))
        return refuse(404, "cannot read the file: " + why);
    const char *type = confirmed_type(preview, path, bytes);
    if (!type) return refuse(415, "the file's content does not match its name");
    if (text) return {200, type, first_lines(bytes, 20)};
    if (!whole) return refuse(413, "the file is too large to preview");
    return {200, type, std::move(bytes)};
}

bool Session::parse_plan(const std::string &body, Action *action, std::vector<Choice> *choices,
                         std::string *why) const {
    rapidjson::Document d;
    // A body that is not UTF-8 is no JSON text; unchecked, its bytes would
    // reach the refusal below, whose text is declared UTF-8.
    d.Parse<rapidjson::kParseValidateEncodingFlag>(body.data(), body.size());
    if (d.HasParseError() || !d.IsObject()) {
        *why = "the body is not a JSON object";
        return false;
    }
    // Const iterators compared with ==: clang finds != between rapidjson's
    // mutable member iterators ambiguous in C++20.
    const rapidjson::Value &obj = d;
    for (auto m = obj.MemberBegin(), end = obj.MemberEnd(); !(m == end); ++m) {
        const std::string key(m->name.GetString(), m->name.GetStringLength());
        if (key != "action" && key != "groups") {
            // The refusal is one line of UTF-8: a key with a control
            // character (an escaped line feed) is quoted as a shell reads
            // it; an escaped lone surrogate decodes to bytes that are not
            // UTF-8 and is not repeated.
            const std::string shown = !dup_utf8_is_valid(key.data(), key.size()) ? "(not UTF-8)"
                                      : quoted_path(key) == key                  ? "'" + key + "'"
                                                                                 : quoted_path(key);
            *why = "unknown key " + shown;
            return false;
        }
    }
    if (!d.HasMember("action") || !d["action"].IsString()) {
        *why = "'action' must be \"delete\", \"link\" or \"reflink\"";
        return false;
    }
    const std::string a = d["action"].GetString();
    if (a == "delete") *action = Action::Delete;
    else if (a == "link") *action = Action::Link;
    else if (a == "reflink") *action = Action::Reflink;
    else {
        *why = "'action' must be \"delete\", \"link\" or \"reflink\"";
        return false;
    }
    if (!d.HasMember("groups") || !d["groups"].IsArray()) {
        *why = "'groups' must be an array";
        return false;
    }
    std::vector<bool> seen(shown_.size(), false);
    for (const auto &e : d["groups"].GetArray()) {
        if (!e.IsObject() || e.MemberCount() != 2 || !e.HasMember("group") || !e["group"].IsUint64() ||
            !e.HasMember("keep") || !e["keep"].IsArray()) {
            *why = "each entry of 'groups' must be {\"group\": N, \"keep\": [N, ...]}";
            return false;
        }
        const uint64_t gi = e["group"].GetUint64();
        if (gi >= shown_.size()) {
            *why = "no group " + std::to_string(gi);
            return false;
        }
        if (seen[gi]) {
            *why = "group " + std::to_string(gi) + " is named twice";
            return false;
        }
        seen[gi] = true;
        Choice c{static_cast<size_t>(gi), {}};
        const size_t files = results_.groups[shown_[gi].result].files.size();
        for (const auto &k : e["keep"].GetArray()) {
            if (!k.IsUint64() || k.GetUint64() >= files) {
                *why = "group " + std::to_string(gi) + " has no such file to keep";
                return false;
            }
            const size_t fi = static_cast<size_t>(k.GetUint64());
            if (gone_.count({c.group, fi}) > 0) {
                *why = "group " + std::to_string(gi) + ": the file to keep was removed";
                return false;
            }
            if (std::find(c.keep.begin(), c.keep.end(), fi) == c.keep.end()) c.keep.push_back(fi);
        }
        if (c.keep.empty()) {
            *why = "group " + std::to_string(gi) + " keeps no file";
            return false;
        }
        choices->push_back(std::move(c));
    }
    return true;
}

Answer Session::plan(const std::string &body, bool apply) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (phase_ != Phase::Ready) return refuse(409, "the scan has not finished");
    Action action = Action::Delete;
    std::vector<Choice> choices;
    std::string why;
    if (!parse_plan(body, &action, &choices, &why)) return refuse(400, why);

    // Names of one physical file acted on earlier by this run are in
    // acted_, and the link counts read now already show them; a plan counts
    // its own acts on top, as none of them has happened.
    RemovalReport rep;
    if (apply) rep.acted = acted_;
    const Rules rules = this->rules(action);
    rapidjson::StringBuffer sb;
    Writer w(sb);
    w.StartObject();
    w.Key("files");
    w.StartArray();
    for (const Choice &c : choices) {
        const ShownGroup &s = shown_[c.group];
        const Group &g = results_.groups[s.result];
        // Reference files stay whatever the choice, as under --interactive.
        std::vector<size_t> keep = c.keep;
        for (size_t i = 0; i < s.reference.size(); ++i)
            if (s.reference[i] && std::find(keep.begin(), keep.end(), i) == keep.end()) keep.push_back(i);
        const Decision d = decide(g, &keep, roots_, rules, rep.acted, apply);
        const size_t done_before = rep.done_paths.size(), left_before = rep.left.size();
        execute(g, d, roots_, action, apply ? Pass::Act : Pass::Plan, true, &rep);
        for (size_t i = 0; i < g.files.size(); ++i) {
            if (gone_.count({c.group, i}) > 0) continue;
            const FileVerdict &v = d.files[i];
            const bool kept = std::find(d.keep.begin(), d.keep.end(), i) != d.keep.end() || v.verdict == Verdict::Keep;
            std::string outcome = kept ? "keep" : v.verdict == Verdict::Act ? "act" : "leave";
            std::string note = v.note;
            if (apply && !kept) {
                outcome = "left";
                for (size_t k = done_before; k < rep.done_paths.size(); ++k)
                    if (rep.done_paths[k] == g.files[i]) outcome = "done";
                for (size_t k = left_before; k < rep.left.size(); ++k)
                    if (rep.left[k].path == g.files[i]) note = rep.left[k].why;
                if (outcome == "done") {
                    note.clear();
                    if (action == Action::Delete) gone_.insert({c.group, i});
                }
            }
            w.StartObject();
            w.Key("group");
            w.Uint64(c.group);
            w.Key("file");
            w.Uint64(i);
            w.Key("path");
            put_string(w, roots_.show(g.files[i]));
            w.Key("outcome");
            put_string(w, outcome);
            w.Key("note");
            put_string(w, note);
            w.EndObject();
        }
    }
    w.EndArray();
    w.Key("count");
    w.Int64(rep.done);
    w.Key("freed");
    w.Int64(rep.freed);
    w.Key("left");
    w.Uint64(rep.left.size());
    w.EndObject();
    if (apply) acted_ = rep.acted;
    return {200, "application/json", sb.GetString()};
}

}  // namespace dfcli::ui
