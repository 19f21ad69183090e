// Small file-system helpers of the desktop host. Any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace desktop {

// Creates `dir` and its missing parents with user-only permissions; true when it is a directory.
bool makeDirectories(const std::string& dir);

// Replaces `directory`/`name` with `contents`, user-only: written to a temporary file in the same
// directory ("<name>.tmp-XXXXXX"), synced, renamed over the file and the directory synced, so the
// file holds the old or the new contents whatever happens meanwhile. Returns 0, or the errno of
// the step that failed (the old file then stays and no temporary file is left).
int writeFileAtomically(const std::string& directory, const std::string& name,
                        std::string_view contents);

// Reads the whole file at `path` into `text`. Returns 0, ENOENT when there is none, EFBIG when it
// is larger than `maxBytes` (nothing is read then), or the errno of the failed step.
int readFileBounded(const std::string& path, std::size_t maxBytes, std::string& text);

// Removes the temporary files a write of `name` left when its process died.
void removeStaleTemporaries(const std::string& directory, const std::string& name);

} // namespace desktop
