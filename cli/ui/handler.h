// SPDX-License-Identifier: MIT
// The page's requests apart from the sockets: the checks that every request
// passes and the answer of each route. The server calls the two at the
// stages its HTTP library has for them (the guard before a body is read,
// the route after); a caller that holds a whole request calls answer(),
// which does what the server does.
#ifndef DUPFIND_CLI_UI_HANDLER_H
#define DUPFIND_CLI_UI_HANDLER_H

#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "ui/session.h"

// Enough workers for several pages at once, each with the few connections
// a browser keeps open.
#define CPPHTTPLIB_THREAD_POOL_COUNT 16
#include <httplib.h>

namespace dfcli::ui {

using Clock = std::chrono::steady_clock;

struct Context {
    Session *session = nullptr;
    int scan = -1;
    int port = 0;
    std::string secret;
    std::string cookie;  // the cookie's name: one per port, as cookies ignore ports
    std::mutex mutex;
    std::map<std::string, Clock::time_point> pages;  // page id -> last request
    bool had_page = false;
    Clock::time_point last_request = Clock::now();
    Clock::time_point pages_changed = Clock::now();
};

// The checks of every request, before any route: true when the request
// has its answer (a refusal, or the redirect that sets the cookie) and
// goes no further.
bool guard(Context &ctx, const httplib::Request &req, httplib::Response &res);

// The answer of the route that the method and path name; a status of 404
// and no body when none does.
void route(Context &ctx, const httplib::Request &req, httplib::Response &res);

// guard, then route.
void answer(Context &ctx, const httplib::Request &req, httplib::Response &res);

}  // namespace dfcli::ui

#endif
