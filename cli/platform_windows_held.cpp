// SPDX-License-Identifier: MIT
// Windows side of the tool's guarded acts: the files compared are held
// open, and every act goes through those handles, so that it touches the
// very file that was compared (see platform.h).
//
// A file is held with delete access and without FILE_SHARE_WRITE or
// FILE_SHARE_DELETE where the system allows it: while it is held nobody can
// write it, rename it, remove it or rename another file over its name, and
// the tool itself renames it through the handle. Where another program
// holds it already in a way that forbids this (open for writing, or with
// delete access), the hold takes less and the checks of its name and times
// stand guard instead. The library's guarded delete opens the entry with
// delete access and without delete sharing, so the tool releases its handle
// before it asks for that delete.
#include "platform.h"
#include "platform_common.h"
#include "platform_windows.h"

#include <windows.h>
#include <aclapi.h>
#include <ntsecapi.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace dfcli {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Opens the entry itself, a directory too, never what a link points to.
constexpr DWORD kEntry = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

struct Closer {
    void operator()(void *h) const {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using Owned = std::unique_ptr<void, Closer>;

Owned open_entry(const std::wstring &path, DWORD access, DWORD share, DWORD flags = kEntry) {
    HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    return Owned(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

bool gone(DWORD err) { return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND; }

ActResult done() { return {ActResult::Done, ActResult::Other, ""}; }
ActResult left(std::string why) { return {ActResult::Left, ActResult::Other, std::move(why)}; }
ActResult left(ActResult::Cause cause) { return {ActResult::Left, cause, ""}; }
ActResult failed(const std::string &step) {
    return {ActResult::Failed, ActResult::Other, step + ": " + win::last_error()};
}

HANDLE raw(const HeldFile &f) { return reinterpret_cast<HANDLE>(f.handle); }

// The name the system gives an open file or directory: "\\?\C:\dir\name".
std::wstring final_name(HANDLE h) {
    std::vector<wchar_t> buf(MAX_PATH + 1);
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()), 0);
        // Some implementations refuse a short buffer without saying the size.
        if (n == 0 && GetLastError() == ERROR_MORE_DATA && buf.size() < 32768) {
            buf.resize(32768);
            continue;
        }
        if (n == 0) return std::wstring();
        if (n < buf.size()) return std::wstring(buf.data(), n);
        buf.resize(n + 1);
    }
}

// Done when the open file is the one the path names, reached without a
// link on the way (a junction or symbolic link crossed would give the name
// of its target instead); Left with `elsewhere` when it is not.
// Wine names a file whose name ends in dots or spaces ("z.", "z ") without
// them, as the Win32 layer would have stored it; the file was opened by its
// exact name all the same, so those ending characters are not compared.
ActResult check_at(HANDLE h, const std::wstring &path, const char *elsewhere) {
    std::wstring name = final_name(h);
    if (name.empty()) return failed("cannot name the file");
    std::wstring want = path;
    auto trim = [](std::wstring *s) {
        const size_t leaf = s->find_last_of(L'\\') + 1;
        while (s->size() > leaf && (s->back() == L'.' || s->back() == L' ')) s->pop_back();
    };
    trim(&name);
    trim(&want);
    if (CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), want.c_str(), static_cast<int>(want.size()),
                             TRUE) != CSTR_EQUAL)
        return left(elsewhere);
    return done();
}

enum class Kind { File, Directory, Link, Other, Unknown };

// Junctions and symbolic links (name surrogates) are links; other reparse
// points (cloud placeholders, deduplicated files) are what they stand for.
Kind kind_of(HANDLE h) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag)) return Kind::Unknown;
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(tag.ReparseTag))
        return Kind::Link;
    if (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Kind::Directory;
    return GetFileType(h) == FILE_TYPE_DISK ? Kind::File : Kind::Other;
}

// Where a file below a root lies: its directory, reached from the root
// name by name without crossing a junction or a symbolic link, and held
// open (without delete sharing) with every directory on the way, so that
// none of them can be renamed or replaced while the act lasts.
struct Place {
    std::vector<Owned> pins;  // the root, then each directory below it
    std::wstring dir;         // the directory's extended-length path
    std::wstring leaf;        // the file's name in it
    std::string dir_shown;    // the directory as the caller named it (root/sub/dir)
    std::string leaf_shown;

    std::wstring file() const { return dir + L"\\" + leaf; }
    std::wstring in_dir(const std::wstring &name) const { return dir + L"\\" + name; }
    std::string shown(const std::string &name) const { return dir_shown + "/" + name; }
};

Owned pin_dir(const std::wstring &path, DWORD flags) {
    Owned h = open_entry(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, flags);
    // A directory that another program holds with delete access cannot be
    // pinned; the check of the file's final name still covers the way.
    if (!h && GetLastError() == ERROR_SHARING_VIOLATION) h = open_entry(path, FILE_READ_ATTRIBUTES, kShareAll, flags);
    return h;
}

ActResult reach(const RootedPath &p, Place *at) {
    std::vector<std::string> names;
    for (size_t at_char = 0; at_char <= p.below.size();) {
        size_t end = p.below.find_first_of("/\\", at_char);
        if (end == std::string::npos) end = p.below.size();
        names.push_back(p.below.substr(at_char, end - at_char));
        at_char = end + 1;
    }
    for (const std::string &n : names)
        if (n.empty() || n == "." || n == ".." || win::wide_name(n).empty())
            return left("not a plain path below its directory");
    // The root as the user gave it, links and all; below it, the system's
    // own name of the directory reached.
    const std::wstring root = win::wide(p.root);
    if (root.empty()) return left("not a plain path below its directory");
    Owned h = pin_dir(root, FILE_FLAG_BACKUP_SEMANTICS);
    if (!h)
        return gone(GetLastError()) ? left("its directory is no longer there") : failed("cannot open its directory");
    at->dir = final_name(h.get());
    if (at->dir.empty()) return failed("cannot name its directory");
    if (at->dir.back() == L'\\') at->dir.pop_back();  // a drive's root, "\\?\C:\"
    at->pins.push_back(std::move(h));
    at->dir_shown = p.root;
    while (!at->dir_shown.empty() && (at->dir_shown.back() == '/' || at->dir_shown.back() == '\\'))
        at->dir_shown.pop_back();
    for (size_t i = 0; i + 1 < names.size(); i++) {
        at->dir += L"\\" + win::wide_name(names[i]);
        at->dir_shown += "/" + names[i];
        h = pin_dir(at->dir, kEntry);
        if (!h)
            return gone(GetLastError()) ? left("its directory is no longer there")
                                        : failed("cannot open its directory");
        const Kind kind = kind_of(h.get());
        if (kind == Kind::Link) return left("a directory on its path is now a link");
        if (kind != Kind::Directory) return left("a directory on its path is no longer a directory");
        at->pins.push_back(std::move(h));
    }
    at->leaf = win::wide_name(names.back());
    at->leaf_shown = names.back();
    return done();
}

// The copy's name still leads to the held file, which is unchanged.
ActResult still_named(const Place &at, const HeldFile &held) {
    Owned h = open_entry(at.file(), FILE_READ_ATTRIBUTES, kShareAll);
    if (!h) return gone(GetLastError()) ? left("no longer there") : failed("cannot open");
    FileStatus now;
    if (!win::status_of(h.get(), &now)) return failed("cannot query");
    if (!same_file(now, held.st)) return left("replaced by another file since it was compared");
    if (!held_unchanged(held)) return left("changed since it was compared");
    return done();
}

// A private name in the file's directory, in UTF-16.
std::wstring private_wide_name() { return win::wide_name(private_name()); }

// Renames the open file to `target` (a full path) through its handle,
// never replacing a file there.
bool rename_to(HANDLE h, const std::wstring &target) {
    const size_t bytes = target.size() * sizeof(wchar_t);
    std::vector<char> buf(sizeof(FILE_RENAME_INFO) + bytes);
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buf.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(info->FileName, target.c_str(), bytes + sizeof(wchar_t));
    return SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buf.size())) != 0;
}

// Renames the held file to a fresh private name in its directory.
ActResult rename_aside(HANDLE h, const Place &at, std::wstring *name) {
    for (int attempt = 0; attempt < 16; attempt++) {
        *name = private_wide_name();
        if (rename_to(h, at.in_dir(*name))) return done();
        const DWORD err = GetLastError();
        if (err != ERROR_ALREADY_EXISTS && err != ERROR_FILE_EXISTS) break;
    }
    return failed("cannot move the copy aside");
}

bool set_delete(HANDLE h, bool on) {
    FILE_DISPOSITION_INFO info;
    info.DeleteFile = on ? TRUE : FALSE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

// Opens the file with the strongest hold the system grants (see the top of
// this file); *err is the last refusal when none is granted.
Owned open_held(const std::wstring &path, DWORD flags, DWORD *err) {
    static const struct {
        DWORD access, share;
    } holds[] = {
        {GENERIC_READ | DELETE, FILE_SHARE_READ},
        {GENERIC_READ | DELETE, kShareAll},
        {GENERIC_READ, FILE_SHARE_READ},
        {GENERIC_READ, kShareAll},
    };
    for (const auto &hold : holds) {
        Owned h = open_entry(path, hold.access, hold.share, flags | FILE_FLAG_SEQUENTIAL_SCAN);
        if (h) return h;
        *err = GetLastError();
        if (*err != ERROR_SHARING_VIOLATION && *err != ERROR_ACCESS_DENIED) break;
    }
    return Owned();
}

// A reparse point that is not a link: a file whose content a filter
// supplies (a cloud placeholder, a deduplicated file).
bool filtered(HANDLE h) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    return GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !IsReparseTagNameSurrogate(tag.ReparseTag);
}

}  // namespace

ActResult hold_file(const RootedPath &p, HeldFile *out) {
    out->handle = -1;
    Place at;
    ActResult r = reach(p, &at);
    if (r.outcome != ActResult::Done) return r;
    DWORD err = 0;
    Owned h = open_held(at.file(), kEntry, &err);
    if (!h) {
        if (gone(err)) return left("no longer there");
        SetLastError(err);
        return failed("cannot open");
    }
    switch (kind_of(h.get())) {
    case Kind::File: break;
    case Kind::Link: return left("a symbolic link");
    case Kind::Directory: return left("a directory");
    case Kind::Other: return left("not a regular file");
    case Kind::Unknown: return failed("cannot query");
    }
    r = check_at(h.get(), at.file(), "reached through a link");
    if (r.outcome != ActResult::Done) return r;
    if (!win::status_of(h.get(), &out->st)) return failed("cannot query");
    if (filtered(h.get())) {
        // Opened as the reparse point itself, such a file reads as its stub,
        // not as its content: it is opened again through its filter, and
        // must be the same file.
        h.reset();
        h = open_held(at.file(), FILE_FLAG_BACKUP_SEMANTICS, &err);
        FileStatus again;
        if (!h) {
            SetLastError(err);
            return gone(err) ? left("no longer there") : failed("cannot open");
        }
        if (!win::status_of(h.get(), &again)) return failed("cannot query");
        if (!same_file(again, out->st) || !again.regular) return left("replaced while it was opened");
        out->st = again;
    }
    out->handle = reinterpret_cast<intptr_t>(h.release());
    return done();
}

void release_file(HeldFile *f) {
    if (f->handle != -1) CloseHandle(raw(*f));
    f->handle = -1;
}

bool held_unchanged(const HeldFile &f) {
    FileStatus now;
    return f.handle != -1 && win::status_of(raw(f), &now) && same_file(now, f.st) && now.size == f.st.size &&
           now.mtime_ns == f.st.mtime_ns && now.ctime_ns == f.st.ctime_ns;
}

bool read_held_at(const HeldFile &f, int64_t offset, char *buf, size_t n, size_t *got, std::string *reason) {
    *got = 0;
    while (*got < n) {
        // The offset travels with each read, so the handle's own position
        // does not matter.
        OVERLAPPED where = {};
        const uint64_t off = static_cast<uint64_t>(offset) + *got;
        where.Offset = static_cast<DWORD>(off);
        where.OffsetHigh = static_cast<DWORD>(off >> 32);
        DWORD r = 0;
        if (!ReadFile(raw(f), buf + *got, static_cast<DWORD>(n - *got), &r, &where)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            *reason = win::last_error();
            return false;
        }
        if (r == 0) break;
        *got += r;
    }
    return true;
}

// 64 bits from the system's generator (RtlGenRandom, in advapi32); the
// clock and the process id should it fail.
uint64_t random_bits() {
    uint64_t bits = 0;
    if (!RtlGenRandom(&bits, sizeof bits)) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        bits = static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32);
    }
    return bits;
}

ActResult move_aside(const RootedPath &copy, const HeldFile &compared, std::string *aside) {
    Place at;
    ActResult r = reach(copy, &at);
    if (r.outcome != ActResult::Done) return r;
    r = still_named(at, compared);
    if (r.outcome != ActResult::Done) return r;
    // The rename goes through the held handle: whatever took the copy's
    // name, the file moved is the one compared.
    std::wstring name;
    r = rename_aside(raw(compared), at, &name);
    if (r.outcome != ActResult::Done) return r;
    r = check_at(raw(compared), at.in_dir(name), "moved elsewhere while it was set aside");
    if (r.outcome != ActResult::Done) {
        rename_to(raw(compared), at.file());
        return r;
    }
    *aside = at.shown(win::utf8(name.data(), name.size()));
    return done();
}

// The copy must have been released: a held copy refuses delete access, which
// a rename needs, to every other handle, the tool's own too.
bool put_back(const RootedPath &copy, const std::string &aside, std::string *why) {
    Place at;
    const ActResult r = reach(copy, &at);
    const size_t cut = aside.find_last_of("/\\");
    const std::string name = cut == std::string::npos ? aside : aside.substr(cut + 1);
    if (r.outcome != ActResult::Done) {
        *why = "the copy stays as " + aside + ": " + r.why;
        return false;
    }
    Owned h = open_entry(at.in_dir(win::wide_name(name)), DELETE | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!h || kind_of(h.get()) != Kind::File) {
        *why = "the copy stays as " + aside + ": cannot open it: " + win::last_error();
        return false;
    }
    if (rename_to(h.get(), at.file())) return true;
    const DWORD err = GetLastError();
    if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS)
        *why = "the copy stays as " + aside + ": another file took the name " + at.shown(at.leaf_shown) + " meanwhile";
    else *why = "the copy stays as " + aside + ": cannot rename it back: " + win::last_error();
    return false;
}

namespace {

// Who owns the file and who may do what with it, as the system tells it.
struct Security {
    PSECURITY_DESCRIPTOR sd = nullptr;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    DWORD attributes = 0;
    std::string error;

    explicit Security(const std::string &path) {
        const std::wstring w = win::wide(path);
        Owned h = w.empty() ? Owned() : open_entry(w, READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll);
        BY_HANDLE_FILE_INFORMATION info;
        if (!h || !GetFileInformationByHandle(h.get(), &info)) {
            error = "cannot open " + path + ": " + win::last_error();
            return;
        }
        attributes = info.dwFileAttributes;
        const DWORD err = GetSecurityInfo(h.get(), SE_FILE_OBJECT,
                                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                          &dacl, nullptr, &sd);
        if (err != ERROR_SUCCESS) {
            SetLastError(err);
            error = "cannot read the security descriptor of " + path + ": " + win::last_error();
        }
    }
    ~Security() {
        if (sd) LocalFree(sd);
    }
    Security(const Security &) = delete;
    Security &operator=(const Security &) = delete;
};

// The same entries in the same order (no list at all grants everyone
// everything, which is not the same as an empty list).
bool same_acl(PACL a, PACL b) {
    if (!a || !b) return a == b;
    if (a->AceCount != b->AceCount) return false;
    for (DWORD i = 0; i < a->AceCount; i++) {
        void *x = nullptr, *y = nullptr;
        if (!GetAce(a, i, &x) || !GetAce(b, i, &y)) return false;
        const WORD size = static_cast<ACE_HEADER *>(x)->AceSize;
        if (size != static_cast<ACE_HEADER *>(y)->AceSize || std::memcmp(x, y, size) != 0) return false;
    }
    return true;
}

}  // namespace

std::string metadata_difference(const std::string &kept, const std::string &copy) {
    const Security k(kept), c(copy);
    if (!k.error.empty()) return k.error;
    if (!c.error.empty()) return c.error;
    std::vector<const char *> differ;
    if (!k.owner || !c.owner || !EqualSid(k.owner, c.owner)) differ.push_back("owner");
    if (!same_acl(k.dacl, c.dacl)) differ.push_back("access control list");
    static const struct {
        DWORD bit;
        const char *name;
    } flags[] = {
        {FILE_ATTRIBUTE_READONLY, "read-only attribute"},
        {FILE_ATTRIBUTE_HIDDEN, "hidden attribute"},
        {FILE_ATTRIBUTE_SYSTEM, "system attribute"},
    };
    for (const auto &f : flags)
        if ((k.attributes & f.bit) != (c.attributes & f.bit)) differ.push_back(f.name);
    // The words follow "a hard link would change its ...".
    std::string text;
    for (const char *d : differ) text += (text.empty() ? "" : ", ") + std::string(d);
    return text;
}

// Windows cannot exchange two names in one step. The copy is therefore
// renamed to a private name through its handle, and the hard link to the
// kept file takes the copy's name after it: for that moment the copy's name
// is missing. No data can be lost by it: the copy's bytes stay in the same
// directory under the private name, the kept file holds the same bytes,
// and the copy is marked for removal only once the new name is checked to
// be the kept file. A run that ends in that moment leaves the copy under
// its private name, where nothing removes it.
ActResult link_over(const RootedPath &kept, const HeldFile &kept_file, const RootedPath &copy,
                    const HeldFile &copy_file, std::string *leftover) {
    leftover->clear();
    if (kept_file.st.device != copy_file.st.device) return left(ActResult::OtherFileSystem);
    if (same_file(kept_file.st, copy_file.st)) return left("already a hard link of the kept file");
    Place k, c;
    ActResult r = reach(kept, &k);
    if (r.outcome == ActResult::Failed) return r;
    if (r.outcome != ActResult::Done || still_named(k, kept_file).outcome != ActResult::Done)
        return left(ActResult::KeptChanged);
    r = reach(copy, &c);
    if (r.outcome != ActResult::Done) return r;
    r = still_named(c, copy_file);
    if (r.outcome != ActResult::Done) return r;
    // A read-only file cannot be removed; find that out before anything moves.
    FILE_BASIC_INFO basic;
    if (GetFileInformationByHandleEx(raw(copy_file), FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return left("read-only: the system refuses to remove it");

    const HANDLE h = raw(copy_file);
    std::wstring name;
    r = rename_aside(h, c, &name);
    if (r.outcome != ActResult::Done) return r;
    const std::string aside = c.shown(win::utf8(name.data(), name.size()));
    // Gives the copy its name back; *leftover says where it stays otherwise.
    auto undo = [&](ActResult why) {
        if (!rename_to(h, c.file())) {
            *leftover = aside;
            why.why += (why.why.empty() ? "" : "; ") + std::string("the copy stays as ") + aside;
        }
        return why;
    };
    r = check_at(h, c.in_dir(name), "moved elsewhere while it was set aside");
    if (r.outcome != ActResult::Done) return undo(r);
    if (!CreateHardLinkW(c.file().c_str(), k.file().c_str(), nullptr)) {
        const DWORD err = GetLastError();
        if (err == ERROR_NOT_SAME_DEVICE) return undo(left(ActResult::OtherFileSystem));
        if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS)
            return undo(left("another file took its name meanwhile"));
        return undo(failed("cannot make a hard link to the kept file"));
    }
    // The new name must be the held kept file, unwritten. Otherwise, or when
    // the copy cannot be removed, the new name goes again; it is only ever
    // removed while it is one of several names of its file, which loses
    // nothing. (The kept file, held without delete sharing, refuses that
    // through any of its names while it is held: the name then stays.)
    auto unlink_new = [&](ActResult why) {
        Owned made = open_entry(c.file(), DELETE | FILE_READ_ATTRIBUTES, kShareAll);
        FileStatus st;
        if (made && win::status_of(made.get(), &st) && !same_file(st, copy_file.st) && st.links > 1 &&
            set_delete(made.get(), true)) {
            made.reset();
            return undo(why);
        }
        *leftover = aside;
        why.why += (why.why.empty() ? "" : "; ") +
                   std::string("its name now leads to the kept file and the copy stays as ") + aside;
        return why;
    };
    Owned made = open_entry(c.file(), FILE_READ_ATTRIBUTES, kShareAll);
    FileStatus st;
    if (!made || !win::status_of(made.get(), &st)) return unlink_new(failed("cannot check the new link"));
    made.reset();
    FileStatus held;
    if (!same_file(st, kept_file.st) || !win::status_of(raw(kept_file), &held) || held.size != kept_file.st.size ||
        held.mtime_ns != kept_file.st.mtime_ns || st.size != kept_file.st.size)
        return unlink_new(left(ActResult::KeptChanged));
    // The copy goes when its handle is released.
    if (!set_delete(h, true)) return unlink_new(failed("cannot remove the copy"));
    return done();
}

}  // namespace dfcli
