// SPDX-License-Identifier: MIT
// Fuzz target: one request to the page of --ui, without a socket. The input
// is the request as a client sends it, simply framed: a first line
// "METHOD TARGET", header lines "Name: value", an empty line, then the body.
// The target's path is decoded and its query read by the HTTP library's own
// functions, as the server has them; the request then goes through
// answer(), the guard and the route that the server runs.
//
// The page serves a session loaded from the results of a real scan of a
// small tree (two groups: text files and PNG files) that the target creates
// once in a temporary directory; the tree is written again before every
// input, and every input gets a fresh session, so that an input that
// removes or links files leaves nothing behind for the next one.
//
// Properties: no exception escapes; a request without the loopback Host
// and the secret's cookie gets no answer but a refusal (or the redirect of
// the address with the key); a POST that changes anything comes from the
// page's origin as JSON; a JSON answer is well-formed UTF-8 JSON; a refusal
// is one line.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "dupfind.h"
#include "fuzz_check.h"
#include "options.h"
#include "root_set.h"
#include "scan_request.h"
#include "ui/handler.h"

namespace {

constexpr int kPort = 8080;
const char *const kSecret = "k";

const char *const kFiles[] = {"tree/a.txt", "tree/b.txt", "tree/sub/c.txt", "tree/p.png", "tree/q.png"};
std::string content_of(const std::string &name) {
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0)
        return std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16);
    return "same\nlines\n";
}

std::string g_fixture;

void write_tree() {
    mkdir("tree", 0755);
    mkdir("tree/sub", 0755);
    for (const char *f : kFiles) {
        unlink(f);
        if (FILE *out = fopen(f, "wb")) {
            const std::string c = content_of(f);
            fwrite(c.data(), 1, c.size(), out);
            fclose(out);
        }
    }
}

void remove_fixture() {
    for (const char *f : kFiles) unlink((g_fixture + "/" + f).c_str());
    for (const char *d : {"tree/sub", "tree", ""}) rmdir((g_fixture + "/" + d).c_str());
}

struct Fixture {
    dfcli::Options options;
    dfcli::RootSet *roots = nullptr;
    std::string results;
};

// The tree, and the results of a scan of it as the tool starts one.
const Fixture &fixture() {
    static Fixture f;
    if (!g_fixture.empty()) return f;
    const char *base = getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/dupfind-fuzz-ui-XXXXXX";
    if (!mkdtemp(dir.data()) || chdir(dir.c_str()) != 0) abort();
    g_fixture = dir;
    atexit(remove_fixture);
    write_tree();
    f.options.roots.push_back({dir + "/tree", false});
    f.roots = new dfcli::RootSet(f.options.roots);
    const int id = dupfind_scan_start(dfcli::dirs_json(*f.roots).c_str(), dfcli::options_json(f.options).c_str());
    FUZZ_REQUIRE(id > 0);
    while (dupfind_scan_progress(id) >= 0 && dupfind_scan_progress(id) < 100)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    char *text = dupfind_scan_results(id);
    FUZZ_REQUIRE(text != nullptr);
    f.results = text;
    dupfind_free_string(text);
    return f;
}

std::string trimmed(const std::string &s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r") + 1 - b);
}

// The request framed as above; false when the first line is missing.
bool read_request(const std::string &input, httplib::Request *req) {
    size_t at = input.find('\n');
    if (at == std::string::npos) return false;
    const std::string first = input.substr(0, at);
    const size_t space = first.find(' ');
    if (space == std::string::npos) return false;
    req->method = first.substr(0, space);
    req->target = trimmed(first.substr(space + 1));
    const size_t q = req->target.find('?');
    req->path = httplib::detail::decode_url(req->target.substr(0, q), false);
    if (q != std::string::npos) httplib::detail::parse_query_text(req->target.substr(q + 1), req->params);
    for (++at; at <= input.size();) {
        size_t end = input.find('\n', at);
        if (end == std::string::npos) end = input.size();
        const std::string line = input.substr(at, end - at);
        at = end + 1;
        if (trimmed(line).empty()) break;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        req->headers.emplace(line.substr(0, colon), trimmed(line.substr(colon + 1)));
    }
    if (at < input.size()) req->body = input.substr(at);
    return true;
}

bool host_ok(const httplib::Request &req) {
    if (req.get_header_value_count("Host") != 1) return false;
    const std::string h = req.get_header_value("Host"), p = ":" + std::to_string(kPort);
    return h == "127.0.0.1" + p || h == "localhost" + p || h == "[::1]" + p;
}

// Whether the first value of the page's cookie, over every Cookie header,
// is the secret.
bool cookie_ok(const httplib::Request &req) {
    const std::string name = "dupfind_" + std::to_string(kPort) + "=";
    for (size_t i = 0; i < req.get_header_value_count("Cookie"); ++i) {
        const std::string line = req.get_header_value("Cookie", i);
        for (size_t at = 0; at <= line.size();) {
            size_t end = line.find(';', at);
            if (end == std::string::npos) end = line.size();
            std::string piece = line.substr(at, end - at);
            at = end + 1;
            piece.erase(
                0, piece.find_first_not_of(' ') == std::string::npos ? piece.size() : piece.find_first_not_of(' '));
            if (piece.compare(0, name.size(), name) == 0) return piece.substr(name.size()) == kSecret;
        }
    }
    return false;
}

void check_answer(const httplib::Request &req, const httplib::Response &res) {
    const int status = res.status == -1 ? 200 : res.status;
    FUZZ_REQUIRE(status >= 200 && status <= 599);
    const bool key_redirect = status == 303 && req.path == "/" && req.has_param("key");
    if (!host_ok(req)) FUZZ_REQUIRE(status == 403);
    if (status < 400 && !key_redirect) FUZZ_REQUIRE(host_ok(req) && cookie_ok(req));
    if (req.method == "POST" && status < 400) {
        FUZZ_REQUIRE(req.get_header_value("Origin") == "http://" + req.get_header_value("Host"));
        FUZZ_REQUIRE(req.get_header_value("Content-Type") == "application/json");
    }
    if (status >= 400 && !res.body.empty()) {
        FUZZ_REQUIRE(res.body.back() == '\n' && res.body.find('\n') == res.body.size() - 1);
        FUZZ_REQUIRE(fuzz_valid_utf8(res.body.c_str()));
    }
    if (res.get_header_value("Content-Type") == "application/json") {
        rapidjson::Document d;
        d.Parse<rapidjson::kParseValidateEncodingFlag>(res.body.data(), res.body.size());
        FUZZ_REQUIRE(!d.HasParseError());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Fixture &f = fixture();
    httplib::Request req;
    if (!read_request(std::string(reinterpret_cast<const char *>(data), size), &req)) return 0;
    write_tree();

    dfcli::ui::Session session(f.options, *f.roots);
    std::string error;
    FUZZ_REQUIRE(session.load(
        f.results.c_str(),
        [](const dfcli::Results &r) {
            std::vector<size_t> all;
            for (size_t i = 0; i < r.groups.size(); ++i) all.push_back(i);
            return all;
        },
        &error));
    session.set_finished(dfcli::ui::Phase::Ready, "");
    dfcli::ui::Context ctx;
    ctx.session = &session;
    ctx.port = kPort;
    ctx.secret = kSecret;
    ctx.cookie = "dupfind_" + std::to_string(kPort);

    httplib::Response res;
    dfcli::ui::answer(ctx, req, res);
    check_answer(req, res);
    return 0;
}
