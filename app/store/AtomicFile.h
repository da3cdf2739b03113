// Replacing a file so that readers and crashes see the old or the new
// contents, never a mix or a truncated file.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace AtomicFile {

enum class Result { Ok, OpenFailed, WriteFailed };

// Writes `length` bytes to a temporary file beside `path`, flushes it to
// disk and renames it over `path`. On failure the temporary file is removed,
// `path` is untouched and *error (if given) holds errno. OpenFailed means
// nothing could be created in the directory; WriteFailed covers writing,
// syncing and renaming.
Result Replace(const std::string& path, const void* data, size_t length, int* error = nullptr);

// Test seam: called after the temporary file is complete and synced, right
// before the rename. Returning false aborts the replacement as a failure.
extern std::function<bool(const std::string& tempPath)> beforeRename;

}  // namespace AtomicFile
