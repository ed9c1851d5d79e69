// SPDX-License-Identifier: MIT
#include "interactive.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "platform.h"

namespace dfcli {

namespace {

bool parse_number(const std::string &s, size_t n, size_t *out) {
    if (s.empty() || s.size() > 9 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    size_t v = std::stoul(s);
    if (v < 1 || v > n) return false;
    *out = v - 1;
    return true;
}

std::string lower_trimmed(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    std::string out = s.substr(b, e - b + 1);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool parse_answer(const std::string &answer, size_t n, Reply *reply, std::vector<size_t> *keep, std::string *why) {
    std::string a = lower_trimmed(answer);
    if (a == "s" || a == "skip" || a == "all" || a == "a") {
        *reply = Reply::KeepAll;
        return true;
    }
    if (a == "q" || a == "quit") {
        *reply = Reply::Quit;
        return true;
    }
    std::replace(a.begin(), a.end(), ',', ' ');
    std::istringstream in(a);
    std::string token;
    std::vector<size_t> chosen;
    while (in >> token) {
        size_t dash = token.find('-');
        size_t lo = 0, hi = 0;
        bool ok;
        if (dash == std::string::npos) {
            ok = parse_number(token, n, &lo);
            hi = lo;
        } else {  // a range such as 2-4
            ok = parse_number(token.substr(0, dash), n, &lo) && parse_number(token.substr(dash + 1), n, &hi) &&
                 lo <= hi;
        }
        if (!ok) {
            *why = "'" + token + "' is not a file number from 1 to " + std::to_string(n);
            return false;
        }
        for (size_t i = lo; i <= hi; ++i)
            if (std::find(chosen.begin(), chosen.end(), i) == chosen.end()) chosen.push_back(i);
    }
    // An answer of separators alone chooses nothing; it must never read as
    // "keep none".
    if (chosen.empty()) {
        *why = "choose at least one file to keep";
        return false;
    }
    std::sort(chosen.begin(), chosen.end());
    *reply = chosen.size() == n ? Reply::KeepAll : Reply::Keep;
    *keep = std::move(chosen);
    return true;
}

// The default answer as typed: "1,3", or "all".
std::string shown_default(const std::vector<size_t> &keep) {
    if (keep.empty()) return "all";
    std::string out;
    for (size_t k : keep) {
        if (!out.empty()) out += ',';
        out += std::to_string(k + 1);
    }
    return out;
}

}  // namespace

Reply ask_keep(const std::string &header, const std::vector<std::string> &names, size_t number, size_t total,
               const std::vector<size_t> &default_keep, std::vector<size_t> *keep) {
    std::printf("[%zu/%zu] %s\n", number, total, header.c_str());
    for (size_t i = 0; i < names.size(); ++i) std::printf("  [%zu] %s\n", i + 1, names[i].c_str());
    const std::string fallback = shown_default(default_keep);
    for (;;) {
        std::printf("Keep which files? (numbers such as 1, 1,3 or 2-4; all; s to skip; q to quit) [%s]: ",
                    fallback.c_str());
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) return Reply::OutputFailed;
        std::string line;
        int rc = read_input_line(&line);
        if (rc < 0) {
            std::printf("\n");
            return Reply::Interrupted;
        }
        if (rc == 0) {
            std::printf("\n");
            return Reply::Quit;
        }
        Reply reply;
        std::string why;
        // Enter takes the default, which the prompt shows.
        if (lower_trimmed(line).empty()) line = fallback;
        if (parse_answer(line, names.size(), &reply, keep, &why)) return reply;
        std::printf("  %s\n", why.c_str());
    }
}

Confirm ask_confirm(const std::string &question) {
    for (;;) {
        std::printf("%s [y/N]: ", question.c_str());
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) return Confirm::OutputFailed;
        std::string line;
        int rc = read_input_line(&line);
        if (rc < 0) {
            std::printf("\n");
            return Confirm::Interrupted;
        }
        if (rc == 0) {
            std::printf("\n");
            return Confirm::No;
        }
        const std::string a = lower_trimmed(line);
        if (a == "y" || a == "yes") return Confirm::Yes;
        if (a.empty() || a == "n" || a == "no") return Confirm::No;
        std::printf("  answer y or n\n");
    }
}

}  // namespace dfcli
