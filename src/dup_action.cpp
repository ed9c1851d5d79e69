// Scanned-roots registry and the guarded delete.
#include "dup_internal.h"

void dup_register_roots(char **, int32_t) {}
int dup_path_has_dotdot(const char *) { return 1; }
int dup_is_under_any_root(const char *) { return 0; }
int dup_path_is_symlink(const char *) { return 0; }
int dup_path_is_dir(const char *) { return 0; }

extern "C" DUPFIND_API int dupfind_delete_file(const char *) noexcept {
    dup_set_error("refused: outside scanned roots");
    return 0;
}
