// SPDX-License-Identifier: MIT
// The Windows platform layer: what only Windows names and paths can show.
// Run under Wine by ctest; where Wine does not do what Windows does, the
// case says so in its skip message.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dupfind.h"
#include "platform/platform.h"
#include "platform/wide.h"
#include "roots.h"
#include "test_util.h"

namespace {

using testutil::exists;
using testutil::long_path;
using testutil::make_dir;
using testutil::TempDir;
using testutil::write_file;

std::optional<std::string> take(char *p) {
    if (!p) return std::nullopt;
    std::string s(p);
    free(p);
    return s;
}

// The library's form of a path the test built: "C:/a/b" -> "//?/C:/a/b".
std::string canonical_form(const std::string &path) { return "//?/" + path; }

// What a finished scan found: its groups as sets of paths, and its skipped
// entries as (path, reason).
struct Outcome {
    int progress = 0;
    std::vector<std::set<std::string>> groups;
    std::set<std::pair<std::string, std::string>> skipped;
    int64_t scanned = -1;
};

Outcome scan(const std::vector<std::string> &roots) {
    std::string dirs = "[";
    for (const auto &r : roots) dirs += (dirs.size() > 1 ? "," : "") + testutil::json_str(r);
    dirs += "]";
    Outcome o;
    const int id = dupfind_scan_start(dirs.c_str(), "{\"min_size\":0}");
    if (id < 1) return o;
    o.progress = testutil::wait_for_scan(dupfind_scan_progress, id);
    char *text = dupfind_scan_results(id);
    if (!text) return o;
    rapidjson::Document doc;
    doc.Parse(text);
    dupfind_free_string(text);
    for (const auto &g : doc["groups"].GetArray()) {
        std::set<std::string> files;
        for (const auto &f : g["files"].GetArray()) files.insert(f.GetString());
        o.groups.push_back(files);
    }
    for (const auto &s : doc["skipped"].GetArray()) o.skipped.emplace(s["path"].GetString(), s["reason"].GetString());
    o.scanned = doc["scanned_files"].GetInt64();
    return o;
}

void register_root(const std::string &path) {
    char *real = dup_root_canonical(path.c_str());
    ASSERT_NE(real, nullptr) << path;
    dup_register_roots(&real, 1);
    free(real);
}

std::string backslashed(std::string s) {
    for (char &c : s)
        if (c == '/') c = '\\';
    return s;
}

// A file whose name is the given UTF-16 text, made with the wide call
// directly (UTF-8 cannot spell an unpaired surrogate). False when the file
// system refuses the name.
bool write_wide_name(const std::string &dir, const std::wstring &name, const std::string &content) {
    HANDLE h = CreateFileW((long_path(dir) + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD done = 0;
    WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &done, nullptr);
    CloseHandle(h);
    return done == content.size();
}

// Whether the directory lists a name equal to `name`, unit for unit.
bool lists_exactly(const std::string &dir, const std::wstring &name) {
    WIN32_FIND_DATAW e;
    HANDLE h = FindFirstFileW((long_path(dir) + L"\\*").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    do found = found || name == e.cFileName;
    while (FindNextFileW(h, &e));
    FindClose(h);
    return found;
}

// Wine runs the program, not Windows: some calls then differ (see the skip
// messages of the cases that ask).
bool under_wine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Whether the system names an open object of this length (Wine's
// GetFinalPathNameByHandleW fails with ERROR_MORE_DATA beyond MAX_PATH).
bool final_names_reach(const std::string &path) {
    HANDLE h = CreateFileW(long_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::wstring buf(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(h, buf.data(), 32768, 0);
    CloseHandle(h);
    return n > 0 && n < 32768;
}

}  // namespace

// ---- text ---------------------------------------------------------------------------

// Paths are converted strictly: a text that is not UTF-8 names nothing,
// where a lenient conversion would name a file holding U+FFFD.
TEST(WideText, InvalidUtf8IsRefusedNotReplaced) {
    struct Case {
        const char *utf8;
        std::optional<std::wstring> want;
    } cases[] = {
        {"plain", L"plain"},
        {"caf\xC3\xA9", L"caf\u00E9"},
        {"\xF0\x9F\x98\x80", L"\U0001F600"},  // outside the BMP: a surrogate pair
        {"", L""},
        {"bad-\xFF", std::nullopt},
        {"overlong-\xC0\xAF", std::nullopt},
        {"surrogate-\xED\xA0\x80", std::nullopt},
        {"cut-\xE2\x82", std::nullopt},
        {"above-\xF4\x90\x80\x80", std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.utf8);
        wchar_t *w = dup_wide_from_utf8(c.utf8);
        if (!c.want) {
            EXPECT_EQ(w, nullptr);
        } else {
            ASSERT_NE(w, nullptr);
            EXPECT_EQ(std::wstring(w), *c.want);
        }
        free(w);
    }
}

// Names from the system become UTF-8; an unpaired surrogate becomes the
// bytes of its code point, which the walk's UTF-8 check rejects.
TEST(WideText, NamesBecomeUtf8AndLoneSurrogatesStayInvalid) {
    struct Case {
        std::wstring wide;
        std::string want;
        bool valid;
    } cases[] = {
        {L"caf\u00E9", "caf\xC3\xA9", true},
        {L"\U0001F600.txt", "\xF0\x9F\x98\x80.txt", true},
        {std::wstring(L"a") + wchar_t(0xD800) + L"b",
         "a\xED\xA0\x80"
         "b",
         false},
        {std::wstring(L"a") + wchar_t(0xDC00), "a\xED\xB0\x80", false},
        {std::wstring(1, wchar_t(0xDBFF)) + wchar_t(0xDFFF), "\xF4\x8F\xBF\xBF", true},
    };
    for (const auto &c : cases) {
        char *s = dup_utf8_from_wide(c.wide.data(), c.wide.size());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(std::string(s), c.want);
        wchar_t *back = dup_wide_from_utf8(s);
        EXPECT_EQ(back != nullptr, c.valid) << c.want;
        if (back) {
            EXPECT_EQ(std::wstring(back), c.wide);
        }
        free(back);
        free(s);
    }
}

// ---- status and canonical names --------------------------------------------------------

// One object reached by different spellings (either separator, another
// letter case, '.' and '..' components, a relative path) has one identity
// and one canonical name, the system's.
TEST(WindowsPaths, SpellingsOfOneObject) {
    TempDir d;
    make_dir(d / "Dir");
    write_file(d / "Dir/File.txt", "x");
    const std::string file = d / "Dir/File.txt";
    dup_stat_t want;
    ASSERT_EQ(dup_fill_stat(file.c_str(), &want, 0), DUP_OK);
    EXPECT_EQ(want.type, DUP_FT_REG);
    EXPECT_EQ(want.size, 1);
    const testutil::file_id id = testutil::identity(file);
    EXPECT_EQ(want.dev, id.dev);
    EXPECT_EQ(want.ino, id.ino);

    std::string upper = file;
    for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    for (const std::string &p : {backslashed(file), upper, d / "Dir/./sub/../File.txt", "//?/" + backslashed(file),
                                 d.path() + "\\Dir//File.txt"}) {
        SCOPED_TRACE(p);
        dup_stat_t st;
        ASSERT_EQ(dup_fill_stat(p.c_str(), &st, 0), DUP_OK);
        EXPECT_EQ(st.dev, want.dev);
        EXPECT_EQ(st.ino, want.ino);
        EXPECT_EQ(take(dup_canonical_path(p.c_str())), canonical_form(file));
    }
    // A trailing separator names a directory only.
    dup_stat_t st;
    EXPECT_EQ(dup_fill_stat((file + "/").c_str(), &st, 0), DUP_FAILED);
    dup_content_t none = 0;
    EXPECT_EQ(dup_content_open((file + "\\").c_str(), 0, 0, 0, &none), DUP_FAILED);
    EXPECT_EQ(none, DUP_CONTENT_NONE);
    EXPECT_EQ(take(dup_canonical_path((file + "\\").c_str())), std::nullopt);
    ASSERT_EQ(dup_fill_stat((d / "Dir\\").c_str(), &st, 0), DUP_OK);
    EXPECT_EQ(st.type, DUP_FT_DIR);
    EXPECT_EQ(take(dup_canonical_path((d / "Dir/").c_str())), canonical_form(d / "Dir"));

    // Relative to the working directory, and to the drive's root.
    wchar_t cwd[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, cwd), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(testutil::utf16(backslashed(d / "Dir")).c_str()));
    EXPECT_EQ(take(dup_canonical_path("File.txt")), canonical_form(file));
    EXPECT_EQ(take(dup_canonical_path(".\\File.txt")), canonical_form(file));
    EXPECT_EQ(take(dup_canonical_path(("\\" + backslashed(file.substr(3))).c_str())), canonical_form(file));
    ASSERT_TRUE(SetCurrentDirectoryW(cwd));

    // A drive's root is a directory, named without a trailing separator.
    const std::string drive = file.substr(0, 2);
    for (const std::string &root : {drive + "/", drive + "\\", "//?/" + drive}) {
        SCOPED_TRACE(root);
        ASSERT_EQ(dup_fill_stat(root.c_str(), &st, 0), DUP_OK);
        EXPECT_EQ(st.type, DUP_FT_DIR);
        EXPECT_EQ(take(dup_canonical_path(root.c_str())), "//?/" + drive);
    }
}

TEST(WindowsPaths, WhyAQueryFailed) {
    TempDir d;
    dup_stat_t st;
    // NTFS takes at most 255 UTF-16 units in one name.
    EXPECT_EQ(dup_fill_stat((d / std::string(256, 'x')).c_str(), &st, 0), DUP_NAME_TOO_LONG);
    EXPECT_EQ(dup_fill_stat((d / "missing").c_str(), &st, 0), DUP_FAILED);
    EXPECT_EQ(dup_fill_stat((d / "bad-\xFF").c_str(), &st, 0), DUP_FAILED);
}

// ---- the walk and the grouping ---------------------------------------------------------

// Names outside the BMP and outside ASCII round-trip through the listing,
// the reading and the results text.
TEST(WindowsScan, NonAsciiNamesAreGroupedUnderTheirOwnNames) {
    TempDir d;
    const std::string emoji = "\xF0\x9F\x98\x80", han = "\xE6\xBC\xA2\xE5\xAD\x97";
    make_dir(d / ("sub-" + han));
    write_file(d / ("photo-" + emoji + ".jpg"), "same bytes");
    write_file(d / ("sub-" + han + "/caf\xC3\xA9.jpg"), "same bytes");
    write_file(d / "plain.jpg", "same bytes");
    write_file(d / ("other-" + emoji), "different");
    ASSERT_TRUE(lists_exactly(d.path(), L"photo-\U0001F600.jpg"));

    Outcome o = scan({d.path()});
    ASSERT_EQ(o.progress, 100);
    const std::set<std::string> want = {d / ("photo-" + emoji + ".jpg"), d / ("sub-" + han + "/caf\xC3\xA9.jpg"),
                                        d / "plain.jpg"};
    ASSERT_EQ(o.groups.size(), 1u);
    EXPECT_EQ(o.groups[0], want);
    EXPECT_TRUE(o.skipped.empty());
    EXPECT_EQ(o.scanned, 4);
}

// A name holding an unpaired surrogate cannot be written as UTF-8: the walk
// skips it as "invalid_utf8", shown with U+FFFD, and touches nothing else.
TEST(WindowsScan, UnpairedSurrogateNameIsSkippedAsInvalidUtf8) {
    TempDir d;
    write_file(d / "a", "same");
    write_file(d / "b", "same");
    const std::wstring lone = std::wstring(L"lone-") + wchar_t(0xD83D) + L".txt";
    if (!write_wide_name(d.path(), lone, "same") || !lists_exactly(d.path(), lone))
        GTEST_SKIP() << "this file system cannot hold a name with an unpaired surrogate "
                        "(Wine stores names as UTF-8 on Linux; NTFS takes any UTF-16)";

    Outcome o = scan({d.path()});
    ASSERT_EQ(o.progress, 100);
    ASSERT_EQ(o.groups.size(), 1u);
    EXPECT_EQ(o.groups[0], (std::set<std::string>{d / "a", d / "b"}));
    // The three bytes of the lone surrogate each show as U+FFFD.
    const std::string shown = d / "lone-\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD.txt";
    EXPECT_EQ(o.skipped, (std::set<std::pair<std::string, std::string>>{{shown, "invalid_utf8"}}));
    EXPECT_EQ(o.scanned, 2);
}

// Paths far beyond MAX_PATH (260) are listed, read and grouped...
TEST(WindowsScan, PathsBeyondMaxPathAreGrouped) {
    TempDir d;
    const std::string deep = testutil::make_deep_dir(d / "deep", testutil::kLongPathBytes);
    ASSERT_GT(deep.size(), 2u * MAX_PATH);
    write_file(deep + "/f", "payload");
    write_file(deep + "/g", "payload");

    Outcome o = scan({d / "deep"});
    ASSERT_EQ(o.progress, 100);
    ASSERT_EQ(o.groups.size(), 1u);
    EXPECT_EQ(o.groups[0], (std::set<std::string>{deep + "/f", deep + "/g"}));
    EXPECT_TRUE(o.skipped.empty());
}

// ... and deleted, the root test naming them through their handle.
TEST(WindowsDelete, PathsBeyondMaxPath) {
    TempDir d;
    const std::string deep = testutil::make_deep_dir(d / "deep", testutil::kLongPathBytes);
    write_file(deep + "/f", "payload");
    write_file(deep + "/g", "payload");
    if (!final_names_reach(deep + "/g"))
        GTEST_SKIP() << "GetFinalPathNameByHandleW cannot name a file " << deep.size()
                     << " characters deep here (Wine fails with ERROR_MORE_DATA beyond MAX_PATH; "
                        "Windows names paths up to 32767 characters)";
    register_root(d / "deep");
    EXPECT_EQ(dupfind_delete_file((deep + "/g").c_str()), 1) << dupfind_last_error();
    EXPECT_FALSE(exists(deep + "/g"));
    EXPECT_TRUE(exists(deep + "/f"));
    EXPECT_EQ(take(dup_canonical_path(deep.c_str())), canonical_form(deep));
}

// A root written with backslashes, with forward slashes, or relative to the
// drive's root is one directory: the walk enters it once and lists its files
// under the first spelling.
TEST(WindowsScan, DriveLetterRootsWithEitherSeparator) {
    TempDir d;
    write_file(d / "a", "same");
    write_file(d / "b", "same");
    const std::string back = backslashed(d.path());
    const std::string root_relative = "\\" + back.substr(3);  // "\users\...", on the same drive
    wchar_t cwd[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, cwd), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(testutil::utf16(back.substr(0, 3)).c_str()));
    Outcome o = scan({back, d.path(), root_relative});
    ASSERT_TRUE(SetCurrentDirectoryW(cwd));
    ASSERT_EQ(o.progress, 100);
    ASSERT_EQ(o.groups.size(), 1u);
    EXPECT_EQ(o.groups[0], (std::set<std::string>{back + "/a", back + "/b"}));
    EXPECT_EQ(o.skipped, (std::set<std::pair<std::string, std::string>>{{d.path(), "already_scanned"},
                                                                        {root_relative, "already_scanned"}}));
    // Either spelling of a file inside is inside the roots.
    EXPECT_EQ(dupfind_delete_file((back + "\\b").c_str()), 1) << dupfind_last_error();
    EXPECT_FALSE(exists(d / "b"));
}

// A file that another program holds open without sharing cannot be read:
// the scan reports it equal to nothing and ends, rather than waiting.
TEST(WindowsScan, FileHeldWithoutSharingIsAReadFailure) {
    TempDir d;
    write_file(d / "a", "same content");
    write_file(d / "b", "same content");
    write_file(d / "held", "same content");
    HANDLE h = CreateFileW(long_path(d / "held").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(
        CreateFileW(long_path(d / "held").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE)
        << "the file system does not enforce share modes";
    Outcome o = scan({d.path()});
    CloseHandle(h);
    ASSERT_EQ(o.progress, 100);
    ASSERT_EQ(o.groups.size(), 1u);
    EXPECT_EQ(o.groups[0], (std::set<std::string>{d / "a", d / "b"}));
}

// Reading a file's content leaves its access time alone.
TEST(WindowsScan, ReadingKeepsTheAccessTime) {
    if (under_wine())
        GTEST_SKIP() << "Wine keeps files on Linux, whose kernel moves the access time on a read "
                        "(relatime) whatever SetFileTime asked of the handle";
    TempDir d;
    write_file(d / "f", testutil::pattern(100000, 3));
    auto access_time = [&] {
        HANDLE h = CreateFileW(long_path(d / "f").c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        FILETIME a{};
        GetFileTime(h, nullptr, &a, nullptr);
        CloseHandle(h);
        return (static_cast<uint64_t>(a.dwHighDateTime) << 32) | a.dwLowDateTime;
    };
    // An access time well in the past, so that any update would show.
    {
        HANDLE h = CreateFileW(long_path(d / "f").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        FILETIME old{0x00000000, 0x01D00000};  // 2015
        ASSERT_TRUE(SetFileTime(h, nullptr, &old, nullptr));
        CloseHandle(h);
    }
    const uint64_t before = access_time();
    dup_content_t c = DUP_CONTENT_NONE;
    ASSERT_EQ(dup_content_open((d / "f").c_str(), 1, 0, 0, &c), DUP_OK);
    std::string buf(100000, '\0');
    int64_t got = 0;
    EXPECT_EQ(dup_content_read(c, buf.data(), 100000, &got), DUP_OK);
    EXPECT_EQ(got, 100000);
    dup_content_close(c);
    EXPECT_EQ(access_time(), before);
}

// ---- the guarded delete ----------------------------------------------------------------

// The checks in their order, with the spellings only Windows has.
TEST(WindowsDelete, Refusals) {
    TempDir d;
    const std::string in = d / "in", out = d / "out";
    make_dir(in);
    make_dir(out);
    make_dir(in + "/sub");
    write_file(in + "/file", "inside");
    write_file(in + "/ro", "read-only");
    write_file(out + "/file", "outside");
    ASSERT_TRUE(SetFileAttributesW(long_path(in + "/ro").c_str(), FILE_ATTRIBUTE_READONLY));
    register_root(in);

    struct Case {
        std::string path;
        int result;
        const char *error;
    } cases[] = {
        // '\' separates components: each of these climbs out of `in`.
        {backslashed(in) + "\\sub\\..\\file", 0, "refused: path contains .."},
        {in + "/sub\\..\\file", 0, "refused: path contains .."},
        {backslashed(in) + "\\..\\out\\file", 0, "refused: path contains .."},
        {in + "/missing", -1, "path not found"},
        {in + "/file\\", -1, "path not found"},
        {backslashed(in) + "\\sub", 0, "refused: directory"},
        {backslashed(out) + "\\file", 0, "refused: outside scanned roots"},
        {out + "/file", 0, "refused: outside scanned roots"},
        {d.path().substr(0, 2) + "/", 0, "refused: directory"},
        // The system refuses to remove a read-only file, as it would by name,
        // and says why (the words are the system's, in its language).
        {in + "/ro", -1, "unlink failed: *"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(dupfind_delete_file(c.path.c_str()), c.result);
        const std::string expected = c.error, error = dupfind_last_error();
        if (!expected.empty() && expected.back() == '*') {
            const std::string prefix = expected.substr(0, expected.size() - 1);
            EXPECT_EQ(error.substr(0, prefix.size()), prefix);
            EXPECT_GT(error.size(), prefix.size());
        } else {
            EXPECT_EQ(error, expected);
        }
    }
    EXPECT_EQ(testutil::read_file(in + "/file"), "inside");
    EXPECT_EQ(testutil::read_file(in + "/ro"), "read-only");
    EXPECT_EQ(testutil::read_file(out + "/file"), "outside");

    // Both spellings of a file inside are admitted, and only it goes.
    write_file(in + "/sub/copy", "inside");
    EXPECT_EQ(dupfind_delete_file((backslashed(in) + "\\sub\\copy").c_str()), 1) << dupfind_last_error();
    EXPECT_STREQ(dupfind_last_error(), "");
    EXPECT_FALSE(exists(in + "/sub/copy"));
    EXPECT_EQ(dupfind_delete_file((in + "/file").c_str()), 1) << dupfind_last_error();
    EXPECT_FALSE(exists(in + "/file"));
    EXPECT_TRUE(exists(out + "/file"));
}

// The root test compares whole components of canonical names: a sibling
// that only starts like the root is outside it.
TEST(WindowsDelete, RootIsAPrefixOfWholeComponents) {
    TempDir d;
    make_dir(d / "photos");
    make_dir(d / "photos2");
    write_file(d / "photos/a.jpg", "a");
    write_file(d / "photos2/a.jpg", "2");
    write_file(d / "beside.jpg", "b");
    register_root(d / "photos");
    for (const std::string &p : {d / "photos2/a.jpg", d / "beside.jpg"}) {
        EXPECT_EQ(dupfind_delete_file(p.c_str()), 0) << p;
        EXPECT_STREQ(dupfind_last_error(), "refused: outside scanned roots") << p;
        EXPECT_TRUE(exists(p));
    }
    // Another letter case names the same directory on Windows.
    std::string upper = d / "PHOTOS/A.JPG";
    EXPECT_EQ(dupfind_delete_file(upper.c_str()), 1) << dupfind_last_error();
    EXPECT_FALSE(exists(d / "photos/a.jpg"));
}

// The entry removed is the one that was checked: while the delete holds it,
// nobody can rename another file into its place or move it out of the roots.
TEST(WindowsDelete, HeldEntryCannotBeSwapped) {
    TempDir d;
    make_dir(d / "in");
    write_file(d / "in/f", "inside");
    register_root(d / "in");
    const char *name;
    dup_parent_t *held = nullptr;
    ASSERT_EQ(dup_parent_open((d / "in/f").c_str(), &held, &name), DUP_OK);
    ASSERT_NE(held, nullptr);
    EXPECT_STREQ(name, "f");
    dup_stat_t st;
    ASSERT_EQ(dup_parent_stat(held, name, &st), DUP_OK);
    EXPECT_EQ(st.type, DUP_FT_REG);
    EXPECT_EQ(take(dup_parent_canonical(held)), canonical_form(d / "in"));
    // Moving it out, or another file over it, is refused while it is held.
    EXPECT_FALSE(MoveFileExW(long_path(d / "in/f").c_str(), long_path(d / "moved").c_str(), 0));
    write_file(d / "other", "other");
    EXPECT_FALSE(MoveFileExW(long_path(d / "other").c_str(), long_path(d / "in/f").c_str(), MOVEFILE_REPLACE_EXISTING));
    char why[256];
    EXPECT_EQ(dup_parent_remove(held, name, why, sizeof why), DUP_OK);
    dup_parent_close(held);
    EXPECT_FALSE(exists(d / "in/f"));
    EXPECT_EQ(testutil::read_file(d / "other"), "other");
}
