// SPDX-License-Identifier: MIT
// The fingerprint cache: what one scan learnt of files that a later scan
// may reuse while they stay as they were, kept in one file that the host
// names.
//
// The rule. A file is unchanged when its identity (device, inode) and its
// state (size, modification and change time in nanoseconds) are those
// recorded; its first-block and whole fingerprints are then reused. Files
// that a scan put into one group had their bytes compared; each entry
// records that group as a number (its proof), so files whose entries share a
// proof, and whose states are all unchanged, are still byte-identical and
// are grouped again without being read. Every other file is read as
// without a cache: an entry never lets two files into one group unless
// their bytes were compared, at some scan, in their present state.
// Assumptions: a change of content moves the change time, which no program
// can set back (so only file systems that keep both honestly are cached,
// dup_fs_trusted), and the system's clock does not go back across scans.
// A file whose change time is less than two seconds older than the scan is
// not stored: a write in the same tick of a coarse clock could follow the
// read without moving it.
#ifndef DUP_CACHE_H
#define DUP_CACHE_H

#include <cstdint>

#include "first_block.h"
#include "scan.h"

// Reads the cache file the request names (none: nothing happens) and
// finds the entry of each collected file whose state it records
// (cache_ref), whose facts the file's state then holds. Called with the
// files in the walk's order. The file is read in pieces and kept open for
// the scan, not held in memory. A file that is damaged, truncated, of
// another kind or of a later version is not trusted: it is ignored, with a
// "cache_ignored" record; so is one whose bytes change between its reads,
// which is then not written either. DUP_OK, or DUP_NOMEM (no memory for
// the record, a piece, the table of keys or of devices).
dup_result dup_cache_load(dup_scan_t *scan);

// For each file of the size-sorted records that shares its size and has a
// matching entry, the first-block fingerprint of the entry (partial_ok set,
// whole[k] left 0: a cached file read later is hashed whole).
void dup_cache_match(dup_scan_t *scan);

// The partial runs whose every member has a matching entry with a whole
// fingerprint, and whose members of one fingerprint all share one proof,
// are settled without reading: their full fingerprints and classes (parent,
// invalid, by file position) come from the entries and settled[t] is set.
// DUP_OK or DUP_NOMEM.
dup_result dup_cache_settle(dup_scan_t *scan, const dup_run_bounds &runs, int32_t max_run, int32_t *parent,
                            unsigned char *invalid, unsigned char *settled);

// Writes the cache anew: the files of this scan whose fingerprints are
// known, then the entries of the file read that this scan did not meet and
// that a recent scan did. Called once the groups are made: it may reorder
// the files and clears partial_ok of those it does not store. A file read
// that already says all the scan learnt (every entry met and unchanged, no
// file to add) is left as it is, byte for byte. Replaces the file only if
// it is still the one read (another scan that wrote it meanwhile wins)
// and its entries, read once more for the merge, are still those checked;
// every failure leaves the old file whole and adds a "cache_not_written"
// record. DUP_OK or DUP_NOMEM.
dup_result dup_cache_save(dup_scan_t *scan);

// Releases what dup_cache_load kept. Accepts a scan without one.
void dup_cache_release(dup_scan_t *scan);

#endif  // DUP_CACHE_H
