// SPDX-License-Identifier: MIT
// What the tool's platform layer does the same way on every system, over
// the per-system primitives of platform_common.h.
#include "platform_common.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace dfcli {

int contents_identical(const HeldFile &a, const HeldFile &b, int64_t size, ReadFailure *failure) {
    constexpr size_t kBlock = 256 * 1024;
    std::vector<char> buffers[2] = {std::vector<char>(kBlock + 1), std::vector<char>(kBlock + 1)};
    const HeldFile *files[2] = {&a, &b};
    int64_t offset = 0;
    for (;;) {
        // Each file's last read asks for one byte more than is left, so a
        // file that goes on past `size` differs; one that ends early has
        // shrunk since its size was taken.
        const int64_t left_bytes = size - offset;
        const size_t want = left_bytes < static_cast<int64_t>(kBlock) ? static_cast<size_t>(left_bytes) + 1 : kBlock;
        size_t got[2] = {0, 0};
        for (int i = 0; i < 2; i++) {
            std::string reason;
            if (!read_held_at(*files[i], offset, buffers[i].data(), want, &got[i], &reason)) {
                failure->file = i;
                failure->step = "cannot read";
                failure->reason = reason;
                return -1;
            }
        }
        if (got[0] != got[1] || std::memcmp(buffers[0].data(), buffers[1].data(), got[0]) != 0) return 0;
        if (static_cast<int64_t>(got[0]) != std::min<int64_t>(left_bytes, static_cast<int64_t>(want))) return 0;
        offset += static_cast<int64_t>(got[0]);
        if (offset == size) return 1;
    }
}

bool read_file_start(const RootedPath &p, size_t limit, std::string *out, bool *whole, std::string *why) {
    HeldFile f;
    const ActResult opened = hold_file(p, &f);
    if (opened.outcome != ActResult::Done) {
        *why = opened.why;
        return false;
    }
    // One byte more than asked tells a file of exactly `limit` bytes from a
    // longer one.
    out->assign(limit + 1, '\0');
    size_t got = 0;
    const bool ok = read_held_at(f, 0, &(*out)[0], limit + 1, &got, why);
    release_file(&f);
    if (!ok) return false;
    *whole = got <= limit;
    out->resize(std::min(got, limit));
    return true;
}

std::string random_hex(size_t words) {
    std::string out;
    char buf[20];
    for (size_t i = 0; i < words; ++i) {
        std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(random_bits()));
        out += buf;
    }
    return out;
}

std::string private_name() {
    char buf[32];
    std::snprintf(buf, sizeof buf, ".dupfind-%016llx", static_cast<unsigned long long>(random_bits()));
    return buf;
}

}  // namespace dfcli
