// The guarded delete: the checks a path must pass before the library
// removes it for a host, and the removal itself.
#ifndef DUP_REMOVE_H
#define DUP_REMOVE_H

// The outcome of a delete request: 1 removed, 0 refused, -1 error, with the
// fixed message for the caller's error text (null when removed).
struct dup_delete_outcome {
    int result;
    const char *message;
};

dup_delete_outcome dup_delete_guarded(const char *path);

// Whether the path has a component that is exactly "..". Components are
// separated as the system separates them (dup_path_separator); a null path
// counts as having one.
int dup_path_has_dotdot(const char *path);

#endif  // DUP_REMOVE_H
