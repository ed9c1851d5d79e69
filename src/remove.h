// SPDX-License-Identifier: MIT
// The guarded delete: the checks a path must pass before the library
// removes it for a host, and the removal itself.
#ifndef DUP_REMOVE_H
#define DUP_REMOVE_H

#include "base.h"

// Deletes the file at path when every guard passes: DUP_OK when it was
// removed, a refusal (DUP_REFUSED_*, see dup_result_refused) or an error
// (DUP_E_EMPTY_PATH, DUP_E_NOT_FOUND, DUP_E_UNLINK). For a removal that the
// system refused, why (why_size bytes) receives its reason, else "".
dup_result dup_delete_guarded(const char *path, char *why, size_t why_size);

// Whether the path has a component that is exactly "..". Components are
// separated as the system separates them (dup_path_separator); a null path
// counts as having one.
bool dup_path_has_dotdot(const char *path);

#endif  // DUP_REMOVE_H
