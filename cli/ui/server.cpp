// SPDX-License-Identifier: MIT
// The page's HTTP side. A page that can delete files is guarded as such:
// it listens on the loopback interface only; every request carries the
// secret of the address the tool printed (then a cookie that no other site
// sends); the Host header must name the loopback address, so that a name
// rebound to it elsewhere gets nothing; whatever changes anything is a POST
// from the page's own origin; files are named by their index in the results,
// never by a path; and every answer forbids the browser to run or load
// anything but the page's own files.
#include "ui/server.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "dupfind.h"
#include "platform.h"
#include "ui/handler.h"

namespace dfcli::ui {

namespace {

constexpr auto kPageGone = std::chrono::minutes(3);  // a page that stopped asking
constexpr auto kGrace = std::chrono::seconds(5);     // for a reload after the last page closed

constexpr size_t kMaxBody = 4u << 20;  // a plan of every group fits

void reply(httplib::Response &res, int status, const std::string &why) {
    res.status = status;
    res.set_content(why + "\n", "text/plain; charset=utf-8");
}

void set_up(httplib::Server &svr, Context &ctx) {
    svr.set_default_headers({
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; media-src 'self'; "
         "connect-src 'self'; form-action 'none'; frame-ancestors 'none'; base-uri 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
        {"Cache-Control", "no-store"},
    });
    svr.set_payload_max_length(kMaxBody);
    svr.set_keep_alive_timeout(2);
    svr.set_read_timeout(5, 0);
    svr.set_write_timeout(5, 0);
    svr.set_pre_routing_handler([&ctx](const httplib::Request &req, httplib::Response &res) {
        return guard(ctx, req, res) ? httplib::Server::HandlerResponse::Handled
                                    : httplib::Server::HandlerResponse::Unhandled;
    });
    // httplib's own refusals (a malformed request, a body too large, no
    // such route) get a reason too.
    svr.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        const char *why = res.status == 404   ? "not found"
                          : res.status == 413 ? "the request is too large"
                          : res.status == 414 ? "the address is too long"
                                              : "bad request";
        reply(res, res.status, why);
        return httplib::Server::HandlerResponse::Handled;
    }));
    svr.set_exception_handler([](const httplib::Request &, httplib::Response &res, const std::exception_ptr &ep) {
        try {
            std::rethrow_exception(ep);
        } catch (const std::bad_alloc &) {
            reply(res, 503, "out of memory");
        } catch (...) {
            reply(res, 500, "internal error");
        }
    });
    // Every method and path goes to the route, which answers 404 itself:
    // the route is the one function that a request without a socket takes
    // too (answer()).
    const auto to_route = [&ctx](const httplib::Request &req, httplib::Response &res) { route(ctx, req, res); };
    svr.Get(".*", to_route);
    svr.Post(".*", to_route);
}

// Why the run ends now, or null while it goes on.
const char *time_to_end(Context &ctx, int64_t idle_timeout) {
    std::lock_guard<std::mutex> lock(ctx.mutex);
    const auto now = Clock::now();
    for (auto it = ctx.pages.begin(); it != ctx.pages.end();) {
        if (now - it->second > kPageGone) it = ctx.pages.erase(it);
        else ++it;
    }
    if (ctx.had_page && ctx.pages.empty() && now - ctx.pages_changed > kGrace) return "the last page was closed";
    if (idle_timeout > 0 && now - ctx.last_request > std::chrono::seconds(idle_timeout))
        return "no page asked for anything within the idle time-out";
    return nullptr;
}

// Follows the scan to its end and hands the results to the session.
void follow_scan(Context &ctx, const GroupFilter &filter, bool *scanning) {
    const int p = dupfind_scan_progress(ctx.scan);
    if (p >= 0 && p < 100) {
        ctx.session->set_progress(p);
        return;
    }
    *scanning = false;
    if (p < 0) {
        const std::string why = dupfind_last_error();
        ctx.session->set_finished(why == "cancelled" ? Phase::Cancelled : Phase::Failed, why);
        return;
    }
    char *text = dupfind_scan_results(ctx.scan);
    if (!text) {
        ctx.session->set_finished(Phase::Failed, std::string("cannot fetch the results: ") + dupfind_last_error());
        return;
    }
    std::string error;
    bool ok = false;
    try {
        ok = ctx.session->load(text, filter, &error);
    } catch (...) {
        dupfind_free_string(text);
        throw;
    }
    dupfind_free_string(text);
    ctx.session->set_finished(ok ? Phase::Ready : Phase::Failed, error);
}

}  // namespace

int run_ui(const Options &o, const RootSet &roots, const std::string &dirs_json, const std::string &options_json,
           const GroupFilter &filter) {
    Session session(o, roots);
    Context ctx;
    ctx.session = &session;
    ctx.secret = random_hex(4);  // 256 bits
    install_interrupt_handler();
    // Threads started while Ctrl-C is held (the scan's worker, the server's)
    // never take it: it reaches this thread, which polls for it.
    hold_interrupts();
    httplib::Server v4, v6;
    set_up(v4, ctx);
    set_up(v6, ctx);
    ctx.port = v4.bind_to_any_port("127.0.0.1");
    if (ctx.port <= 0) {
        release_interrupts();
        std::fprintf(stderr, "dupfind: cannot listen on 127.0.0.1\n");
        return 1;
    }
    ctx.cookie = "dupfind_" + std::to_string(ctx.port);
    // IPv6's loopback on the same port where the system has one.
    const bool with_v6 = v6.bind_to_port("::1", ctx.port);
    ctx.scan = dupfind_scan_start(dirs_json.c_str(), options_json.c_str());
    if (ctx.scan < 0) {
        release_interrupts();
        std::fprintf(stderr, "dupfind: cannot start the scan: %s\n", dupfind_last_error());
        return 1;
    }
    std::atomic<bool> ended4{false}, ended6{!with_v6};
    std::thread t4([&v4, &ended4] {
        v4.listen_after_bind();
        ended4 = true;
    });
    std::thread t6;
    if (with_v6)
        t6 = std::thread([&v6, &ended6] {
            v6.listen_after_bind();
            ended6 = true;
        });
    // A server's stop() does nothing until its thread is listening: a
    // Ctrl-C right after the address is printed would otherwise leave the
    // thread listening for ever and the join below waiting on it.
    while (!(v4.is_running() || ended4) || !(v6.is_running() || ended6))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    release_interrupts();

    const std::string url = "http://127.0.0.1:" + std::to_string(ctx.port) + "/?key=" + ctx.secret;
    std::printf("dupfind: the page is at %s\n", url.c_str());
    std::fflush(stdout);
    if (!o.no_browser && !open_in_browser(url))
        std::fprintf(stderr, "dupfind: cannot open a browser; open the address above\n");

    bool scanning = true;
    const char *why = nullptr;
    while (!interrupted() && !(why = time_to_end(ctx, o.idle_timeout))) {
        if (scanning) follow_scan(ctx, filter, &scanning);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    v4.stop();
    if (with_v6) v6.stop();
    t4.join();
    if (t6.joinable()) t6.join();
    if (scanning) {
        dupfind_cancel(ctx.scan);
        while (dupfind_scan_progress(ctx.scan) >= 0 && dupfind_scan_progress(ctx.scan) < 100)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (interrupted()) {
        std::fprintf(stderr, "dupfind: interrupted\n");
        return interrupted_status();
    }
    std::fprintf(stderr, "dupfind: %s; done\n", why);
    return 0;
}

}  // namespace dfcli::ui
