// SPDX-License-Identifier: MIT
// The tool's platform layer on Windows: holding the files it compares and
// acting on them through those handles, so that a file put in a copy's
// place after the comparison is never removed or linked over. Run under
// Wine by ctest; where Wine does not do what Windows does, the case says so
// in its skip message.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "dupfind.h"
#include "platform.h"
#include "test_util.h"

namespace {

using dfcli::ActResult;
using dfcli::HeldFile;
using dfcli::RootedPath;
using testutil::exists;
using testutil::identity;
using testutil::long_path;
using testutil::make_dir;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

// A held file that is released at the end of the scope.
struct Held {
    HeldFile f;
    ActResult r;
    Held(const std::string &root, const std::string &below) : r(dfcli::hold_file(RootedPath{root, below}, &f)) {}
    ~Held() { dfcli::release_file(&f); }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
};

// The names in dir that the acts use for a file set aside.
std::vector<std::string> private_names(const std::string &dir) {
    std::vector<std::string> out;
    WIN32_FIND_DATAW e;
    HANDLE h = FindFirstFileW((long_path(dir) + L"\\.dupfind-*").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) return out;
    do out.push_back(testutil::utf8(e.cFileName));
    while (FindNextFileW(h, &e));
    FindClose(h);
    return out;
}

bool same_identity(const testutil::file_id &a, const dfcli::FileStatus &b) {
    return a.dev == b.device && a.ino == b.inode;
}

bool same_identity(const testutil::file_id &a, const testutil::file_id &b) { return a.dev == b.dev && a.ino == b.ino; }

// Another program's handle on a file, open with delete access and sharing
// everything, as an indexer or a virus scanner may hold one.
struct OtherProgram {
    HANDLE h;
    explicit OtherProgram(const std::string &path)
        : h(CreateFileW(long_path(path).c_str(), DELETE | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    void close() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
    ~OtherProgram() { close(); }
};

// Puts the file `from` under the name `to` after the copy there was
// compared, as a save by rename does. Windows refuses to rename over a name
// whose file is open; a program may still move that file away first and
// put the new one in its place.
void rename_over(const std::string &from, const std::string &to, const std::string &elsewhere) {
    if (MoveFileExW(long_path(from).c_str(), long_path(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return;
    ASSERT_TRUE(MoveFileExW(long_path(to).c_str(), long_path(elsewhere).c_str(), 0)) << GetLastError();
    ASSERT_TRUE(MoveFileExW(long_path(from).c_str(), long_path(to).c_str(), 0)) << GetLastError();
}

TEST(HoldFile, RefusesAnythingButAPlainRegularFile) {
    TempDir d;
    make_dir(d / "sub");
    write_file(d / "sub/file", "x");
    for (const char *below : {"sub", "missing", "sub/missing", "sub/../sub/file", "sub//file", ""}) {
        SCOPED_TRACE(below);
        Held h(d.path(), below);
        EXPECT_EQ(h.r.outcome, ActResult::Left) << h.r.why;
        EXPECT_EQ(h.f.handle, -1);
    }
}

TEST(HoldFile, RefusesAFileReachedThroughALinkedDirectory) {
    if (const char *why = testutil::symlinks_unavailable()) GTEST_SKIP() << why;
    TempDir d;
    make_dir(d / "real");
    write_file(d / "real/file", "x");
    testutil::make_symlink("real", d / "via");
    Held h(d.path(), "via/file");
    EXPECT_EQ(h.r.outcome, ActResult::Left) << h.r.why;
    EXPECT_EQ(h.f.handle, -1);
}

// While the tool holds a copy nobody can write it, rename it, remove it or
// rename another file over its name: the file compared stays the file
// under that name until the act.
TEST(HoldFile, PinsTheCopyAndItsContent) {
    TempDir d;
    write_file(d / "copy", "compared");
    write_file(d / "new", "saved later");
    Held h(d.path(), "copy");
    ASSERT_EQ(h.r.outcome, ActResult::Done) << h.r.why;
    EXPECT_TRUE(same_identity(identity(d / "copy"), h.f.st));
    EXPECT_EQ(h.f.st.size, 8);
    EXPECT_TRUE(h.f.st.regular);
    HANDLE w = CreateFileW(long_path(d / "copy").c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(w, INVALID_HANDLE_VALUE);
    if (w != INVALID_HANDLE_VALUE) CloseHandle(w);
    EXPECT_FALSE(MoveFileExW(long_path(d / "new").c_str(), long_path(d / "copy").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(MoveFileExW(long_path(d / "copy").c_str(), long_path(d / "moved").c_str(), 0));
    EXPECT_FALSE(DeleteFileW(long_path(d / "copy").c_str()));
    EXPECT_EQ(read_file(d / "copy"), "compared");
    EXPECT_TRUE(dfcli::held_unchanged(h.f));
}

TEST(ContentsIdentical, ComparesExactlySizeBytesFromTheStart) {
    // Longer than one read block, so that a difference past the first one counts.
    const std::string base(200000, 'a');
    std::string late = base;
    late[150000] = 'b';
    const struct {
        const char *name;
        std::string a, b;
        int64_t size;
        int want;
    } cases[] = {
        {"equal", base, base, 200000, 1},
        {"different", base, late, 200000, 0},
        {"second shorter", base, base.substr(1), 200000, 0},
        {"second longer", base, base + "x", 200000, 0},
        {"first longer", base + "x", base, 200000, 0},
        {"both empty", "", "", 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir d;
        write_file(d / "a", c.a);
        write_file(d / "b", c.b);
        Held a(d.path(), "a"), b(d.path(), "b");
        ASSERT_EQ(a.r.outcome, ActResult::Done) << a.r.why;
        ASSERT_EQ(b.r.outcome, ActResult::Done) << b.r.why;
        // Reading moves a handle's own position; the comparison starts at 0 all the same.
        char skip[100];
        DWORD n = 0;
        ReadFile(reinterpret_cast<HANDLE>(a.f.handle), skip, sizeof skip, &n, nullptr);
        dfcli::ReadFailure failure;
        EXPECT_EQ(dfcli::contents_identical(a.f, b.f, c.size, &failure), c.want) << failure.step << failure.reason;
        EXPECT_EQ(dfcli::contents_identical(a.f, b.f, c.size, &failure), c.want) << "compared twice";
    }
}

TEST(MoveAside, MovesTheHeldCopyAndPutBackRestoresIt) {
    TempDir d;
    make_dir(d / "sub");
    write_file(d / "sub/copy", "compared");
    Held h(d.path(), "sub/copy");
    ASSERT_EQ(h.r.outcome, ActResult::Done) << h.r.why;
    std::string aside;
    const ActResult r = dfcli::move_aside(RootedPath{d.path(), "sub/copy"}, h.f, &aside);
    ASSERT_EQ(r.outcome, ActResult::Done) << r.why;
    EXPECT_EQ(aside.rfind(d / "sub/.dupfind-", 0), 0u) << aside;
    EXPECT_FALSE(exists(d / "sub/copy"));
    EXPECT_EQ(private_names(d / "sub").size(), 1u);
    EXPECT_TRUE(same_identity(identity(aside), h.f.st));
    EXPECT_EQ(read_file(aside), "compared");

    // The removal that did not happen: the tool lets go of the copy for the
    // library's delete, which refused it.
    dfcli::release_file(&h.f);
    std::string why;
    EXPECT_TRUE(dfcli::put_back(RootedPath{d.path(), "sub/copy"}, aside, &why)) << why;
    EXPECT_TRUE(same_identity(identity(d / "sub/copy"), h.f.st));
    EXPECT_TRUE(private_names(d / "sub").empty());
}

// The removal as the tool makes it: the copy set aside, let go of, and
// removed by the library's guarded delete, which takes the private name as
// a file inside a scanned root.
TEST(MoveAside, TheLibraryRemovesTheFileSetAside) {
    TempDir d;
    make_dir(d / "sub");
    write_file(d / "kept", "same bytes");
    write_file(d / "sub/copy", "same bytes");
    const int id = dupfind_scan_start(("[" + testutil::json_str(d.path()) + "]").c_str(), "{\"min_size\":0}");
    ASSERT_GT(id, 0) << dupfind_last_error();
    ASSERT_EQ(testutil::wait_for_scan(dupfind_scan_progress, id), 100);
    Held h(d.path(), "sub/copy");
    ASSERT_EQ(h.r.outcome, ActResult::Done) << h.r.why;
    std::string aside;
    const ActResult r = dfcli::move_aside(RootedPath{d.path(), "sub/copy"}, h.f, &aside);
    ASSERT_EQ(r.outcome, ActResult::Done) << r.why;
    dfcli::release_file(&h.f);
    EXPECT_EQ(dupfind_delete_file(aside.c_str()), 1) << aside << ": " << dupfind_last_error();
    EXPECT_FALSE(exists(d / "sub/copy"));
    EXPECT_TRUE(private_names(d / "sub").empty());
    EXPECT_EQ(read_file(d / "kept"), "same bytes");
}

TEST(PutBack, NeverReplacesAFileThatTookTheName) {
    TempDir d;
    write_file(d / "copy", "compared");
    Held h(d.path(), "copy");
    ASSERT_EQ(h.r.outcome, ActResult::Done) << h.r.why;
    std::string aside;
    const ActResult r = dfcli::move_aside(RootedPath{d.path(), "copy"}, h.f, &aside);
    ASSERT_EQ(r.outcome, ActResult::Done) << r.why;
    dfcli::release_file(&h.f);
    write_file(d / "copy", "written meanwhile");
    std::string why;
    EXPECT_FALSE(dfcli::put_back(RootedPath{d.path(), "copy"}, aside, &why));
    EXPECT_NE(why.find(aside), std::string::npos) << why;
    EXPECT_EQ(read_file(d / "copy"), "written meanwhile");
    EXPECT_EQ(read_file(aside), "compared");
}

// A copy held while another program had it open with delete access is held
// sharing deletion; a file then put in its place by rename must be left
// where it is, whichever act comes.
TEST(Acts, LeaveAFileRenamedOverTheCopyAfterTheComparison) {
    for (const char *act : {"move_aside", "link_over"}) {
        SCOPED_TRACE(act);
        TempDir d;
        write_file(d / "kept", "compared");
        make_dir(d / "sub");
        write_file(d / "sub/copy", "compared");
        write_file(d / "sub/new", "saved later");
        OtherProgram other(d / "sub/copy");
        Held kept(d.path(), "kept"), copy(d.path(), "sub/copy");
        ASSERT_EQ(kept.r.outcome, ActResult::Done) << kept.r.why;
        ASSERT_EQ(copy.r.outcome, ActResult::Done) << copy.r.why;
        other.close();
        rename_over(d / "sub/new", d / "sub/copy", d / "moved");
        const testutil::file_id replacement = identity(d / "sub/copy");

        ActResult r;
        std::string out;
        if (std::string(act) == "move_aside") r = dfcli::move_aside(RootedPath{d.path(), "sub/copy"}, copy.f, &out);
        else r = dfcli::link_over(RootedPath{d.path(), "kept"}, kept.f, RootedPath{d.path(), "sub/copy"}, copy.f, &out);
        EXPECT_EQ(r.outcome, ActResult::Left) << r.why;
        EXPECT_TRUE(out.empty()) << out;
        EXPECT_TRUE(same_identity(identity(d / "sub/copy"), replacement));
        EXPECT_EQ(read_file(d / "sub/copy"), "saved later");
        EXPECT_TRUE(private_names(d / "sub").empty());
        EXPECT_EQ(read_file(d / "kept"), "compared");
    }
}

TEST(LinkOver, MakesTheCopyAHardLinkOfTheKeptFile) {
    TempDir d;
    write_file(d / "kept", "same bytes");
    make_dir(d / "sub");
    write_file(d / "sub/copy", "same bytes");
    {
        Held kept(d.path(), "kept"), copy(d.path(), "sub/copy");
        ASSERT_EQ(kept.r.outcome, ActResult::Done) << kept.r.why;
        ASSERT_EQ(copy.r.outcome, ActResult::Done) << copy.r.why;
        std::string leftover;
        const ActResult r = dfcli::link_over(RootedPath{d.path(), "kept"}, kept.f, RootedPath{d.path(), "sub/copy"},
                                             copy.f, &leftover);
        ASSERT_EQ(r.outcome, ActResult::Done) << r.why;
        EXPECT_TRUE(leftover.empty()) << leftover;
        EXPECT_TRUE(same_identity(identity(d / "sub/copy"), kept.f.st));
    }
    // The copy itself goes when the tool lets go of it.
    EXPECT_TRUE(same_identity(identity(d / "sub/copy"), identity(d / "kept")));
    EXPECT_EQ(read_file(d / "sub/copy"), "same bytes");
    EXPECT_TRUE(private_names(d / "sub").empty());
}

// The kept file's times moved after the comparison (its content cannot
// while it is held): it is no longer the file compared, and the copy stays.
TEST(LinkOver, LeavesTheCopyWhenTheKeptFileChanged) {
    TempDir d;
    write_file(d / "kept", "same bytes");
    write_file(d / "copy", "same bytes");
    const testutil::file_id before = identity(d / "copy");
    {
        Held kept(d.path(), "kept"), copy(d.path(), "copy");
        ASSERT_EQ(kept.r.outcome, ActResult::Done) << kept.r.why;
        ASSERT_EQ(copy.r.outcome, ActResult::Done) << copy.r.why;
        HANDLE t = CreateFileW(long_path(d / "kept").c_str(), FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        ASSERT_NE(t, INVALID_HANDLE_VALUE) << GetLastError();
        FILETIME old = {0x12345678, 0x01d00000};
        ASSERT_TRUE(SetFileTime(t, nullptr, nullptr, &old));
        CloseHandle(t);
        std::string leftover;
        const ActResult r = dfcli::link_over(RootedPath{d.path(), "kept"}, kept.f, RootedPath{d.path(), "copy"}, copy.f,
                                             &leftover);
        EXPECT_EQ(r.outcome, ActResult::Left) << r.why;
        EXPECT_EQ(r.cause, ActResult::KeptChanged);
        EXPECT_TRUE(leftover.empty()) << leftover;
    }
    EXPECT_TRUE(same_identity(identity(d / "copy"), before));
    EXPECT_EQ(read_file(d / "copy"), "same bytes");
    EXPECT_TRUE(private_names(d.path()).empty());
}

// What a hard link would change for whoever uses the copy's name.
TEST(MetadataDifference, NamesTheAttributesThatDiffer) {
    const struct {
        DWORD attribute;
        const char *word;
    } cases[] = {
        {0, nullptr},
        {FILE_ATTRIBUTE_READONLY, "read-only attribute"},
        {FILE_ATTRIBUTE_HIDDEN, "hidden attribute"},
        {FILE_ATTRIBUTE_SYSTEM, "system attribute"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.word ? c.word : "none");
        TempDir d;
        write_file(d / "kept", "x");
        write_file(d / "copy", "x");
        if (c.attribute) {
            ASSERT_TRUE(SetFileAttributesW(long_path(d / "copy").c_str(), c.attribute));
        }
        const std::string diff = dfcli::metadata_difference(d / "kept", d / "copy");
        if (c.word) {
            EXPECT_NE(diff.find(c.word), std::string::npos) << diff;
        } else {
            EXPECT_EQ(diff, "");
        }
        if (c.attribute) SetFileAttributesW(long_path(d / "copy").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST(MetadataDifference, NamesTheAccessControlList) {
    TempDir d;
    write_file(d / "kept", "x");
    write_file(d / "copy", "x");
    // Only SYSTEM and administrators may use the copy.
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1,
                                                                     &sd, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    std::wstring copy = long_path(d / "copy");
    const DWORD err = SetNamedSecurityInfoW(copy.data(), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, dacl, nullptr);
    LocalFree(sd);
    ASSERT_EQ(err, static_cast<DWORD>(ERROR_SUCCESS));
    PSECURITY_DESCRIPTOR got_sd = nullptr;
    PACL got = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(copy.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &got,
                                    nullptr, &got_sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    const bool kept_it = got && got->AceCount == 2;
    LocalFree(got_sd);
    if (!kept_it)
        GTEST_SKIP() << "the access control list set on a file does not stay (Wine derives a file's security "
                        "descriptor from its Unix permission bits where it cannot store one)";
    const std::string diff = dfcli::metadata_difference(d / "kept", d / "copy");
    EXPECT_NE(diff.find("access control list"), std::string::npos) << diff;
}

}  // namespace
