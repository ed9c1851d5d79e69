// SPDX-License-Identifier: MIT
// The page's requests. A page that can delete files is guarded as such:
// every request carries the secret of the address the tool printed (then a
// cookie that no other site sends); the Host header must name the loopback
// address, so that a name rebound to it elsewhere gets nothing; whatever
// changes anything is a POST from the page's own origin; files are named by
// their index in the results, never by a path.
#include "ui/handler.h"

#include <rapidjson/document.h>

#include "dupfind.h"
#include "ui/page_files.h"

namespace dfcli::ui {

namespace {

// Compares in a time that does not depend on where the texts differ.
bool same_secret(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

void reply(httplib::Response &res, int status, const std::string &why) {
    res.status = status;
    res.set_content(why + "\n", "text/plain; charset=utf-8");
}

void reply(httplib::Response &res, const Answer &a) {
    res.status = a.status;
    res.set_content(a.body, a.type.c_str());
}

// The secret of the request's cookie, or "".
std::string cookie_secret(const httplib::Request &req, const std::string &name) {
    const size_t n = req.get_header_value_count("Cookie");
    for (size_t i = 0; i < n; ++i) {
        const std::string line = req.get_header_value("Cookie", i);
        size_t pos = 0;
        while (pos < line.size()) {
            size_t end = line.find(';', pos);
            if (end == std::string::npos) end = line.size();
            std::string pair = line.substr(pos, end - pos);
            const size_t first = pair.find_first_not_of(' ');
            pair = first == std::string::npos ? "" : pair.substr(first);
            if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
            pos = end + 1;
        }
    }
    return "";
}

bool loopback_host(const std::string &host, int port) {
    const std::string p = ":" + std::to_string(port);
    return host == "127.0.0.1" + p || host == "localhost" + p || host == "[::1]" + p;
}

const char *type_of(const std::string &name) {
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".html") == 0) return "text/html; charset=utf-8";
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".js") == 0) return "text/javascript; charset=utf-8";
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".css") == 0) return "text/css; charset=utf-8";
    return "application/octet-stream";
}

void note_page(Context &ctx, const std::string &page, bool bye) {
    if (page.empty() || page.size() > 64) return;
    std::lock_guard<std::mutex> lock(ctx.mutex);
    if (bye) {
        ctx.pages.erase(page);
    } else {
        if (ctx.pages.count(page) == 0) ctx.pages_changed = Clock::now();
        ctx.pages[page] = Clock::now();
        ctx.had_page = true;
    }
    ctx.pages_changed = Clock::now();
}

// The page id of the JSON body {"page": "..."}, or "".
std::string page_of_body(const std::string &body) {
    rapidjson::Document d;
    d.Parse(body.data(), body.size());
    if (d.HasParseError() || !d.IsObject() || !d.HasMember("page") || !d["page"].IsString()) return "";
    return std::string(d["page"].GetString(), d["page"].GetStringLength());
}

}  // namespace

bool guard(Context &ctx, const httplib::Request &req, httplib::Response &res) {
    {
        std::lock_guard<std::mutex> lock(ctx.mutex);
        ctx.last_request = Clock::now();
    }
    if (req.get_header_value_count("Host") != 1 || !loopback_host(req.get_header_value("Host"), ctx.port)) {
        reply(res, 403, "forbidden: the Host header must name 127.0.0.1, [::1] or localhost with this port");
        return true;
    }
    // Browsers say where a request comes from: only the page itself, or the
    // user typing the address, may ask anything. Another port of this
    // machine is the same site for cookies, not the same origin.
    const std::string from = req.get_header_value("Sec-Fetch-Site");
    if (!from.empty() && from != "same-origin" && from != "none") {
        reply(res, 403, "forbidden: a request from another site or origin");
        return true;
    }
    // The address the tool printed carries the secret once; the page then
    // goes by the cookie, and the secret leaves the address bar.
    if (req.method == "GET" && req.path == "/" && req.has_param("key")) {
        if (!same_secret(req.get_param_value("key"), ctx.secret)) {
            reply(res, 403, "forbidden: wrong key");
            return true;
        }
        res.set_header("Set-Cookie", ctx.cookie + "=" + ctx.secret + "; Path=/; HttpOnly; SameSite=Strict");
        res.set_redirect("/", 303);
        return true;
    }
    if (!same_secret(cookie_secret(req, ctx.cookie), ctx.secret)) {
        reply(res, 403, "forbidden: open the address that dupfind printed");
        return true;
    }
    if (req.method == "POST") {
        if (req.get_header_value_count("Origin") != 1 ||
            req.get_header_value("Origin") != "http://" + req.get_header_value("Host")) {
            reply(res, 403, "forbidden: a change must come from the page itself");
            return true;
        }
        if (req.get_header_value("Content-Type") != "application/json") {
            reply(res, 415, "the body must be application/json");
            return true;
        }
    } else if (req.method != "GET" && req.method != "HEAD") {
        reply(res, 405, "only GET and POST are answered");
        return true;
    }
    return false;
}

void route(Context &ctx, const httplib::Request &req, httplib::Response &res) {
    Session &s = *ctx.session;
    if (req.method == "GET" || req.method == "HEAD") {
        for (size_t i = 0; i < kPageFileCount; ++i) {
            const PageFile &f = kPageFiles[i];
            const std::string name = f.name;
            if (req.path == (name == "index.html" ? "/" : "/" + name)) {
                res.set_content(reinterpret_cast<const char *>(f.data), f.size, type_of(name));
                return;
            }
        }
        if (req.path == "/api/state") {
            note_page(ctx, req.get_param_value("page"), false);
            reply(res, s.state());
        } else if (req.path == "/api/groups") {
            reply(res, s.groups());
        } else if (req.path == "/api/media") {
            reply(res, s.file(req.get_param_value("group"), req.get_param_value("file"), false));
        } else if (req.path == "/api/text") {
            reply(res, s.file(req.get_param_value("group"), req.get_param_value("file"), true));
            // Never a page of its own, should the address be opened directly.
            res.set_header("Content-Disposition", "attachment");
        } else {
            res.status = 404;
        }
        return;
    }
    if (req.method != "POST") {
        res.status = 404;
    } else if (req.path == "/api/cancel") {
        dupfind_cancel(ctx.scan);
        reply(res, 200, "cancelling");
    } else if (req.path == "/api/plan") {
        reply(res, s.plan(req.body, false));
    } else if (req.path == "/api/apply") {
        reply(res, s.plan(req.body, true));
    } else if (req.path == "/api/bye") {
        note_page(ctx, page_of_body(req.body), true);
        reply(res, 200, "bye");
    } else {
        res.status = 404;
    }
}

void answer(Context &ctx, const httplib::Request &req, httplib::Response &res) {
    if (!guard(ctx, req, res)) route(ctx, req, res);
}

}  // namespace dfcli::ui
