// SPDX-License-Identifier: MIT
// The base every module uses: the per-thread error text and string copies.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "base.h"
#include "dupfind.h"

TEST(ErrorText, BoundedAndPerThread) {
    std::string long_text(2000, 'x');
    dup_set_error("%s", long_text.c_str());
    EXPECT_EQ(strlen(dupfind_last_error()), 511u);
    std::string other;
    std::thread t([&] { other = dupfind_last_error(); });
    t.join();
    EXPECT_EQ(other, "");
    dup_clear_error();
    EXPECT_STREQ(dupfind_last_error(), "");
}

TEST(Strdup, NullAndCopy) {
    EXPECT_EQ(dup_strdup(nullptr), nullptr);
    char *c = dup_strdup("abc");
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, "abc");
    free(c);
}
