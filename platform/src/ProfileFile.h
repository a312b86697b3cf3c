// File handling for one profile file: reading it whole, replacing it atomically, and
// clearing away the temp files of writers that were killed half-way.
//
// Every writer holds the profile's lock file while its temp file exists, so a temp file
// seen under the lock is normally left by a dead writer. Temp files carry their
// writer's process id in the name ("<file>.<pid>.XXXXXX.tmp"); one is removed when that
// process is gone, when it is this process, or when it is older than any write can take
// (the id may have been reused).
#pragma once

#include <string>
#include <sys/types.h>

namespace Platform {

enum class ProfileRead { Read, Missing, Failed };

// Failed carries the errno in err (EINVAL for something other than a regular file, EFBIG
// for one beyond the size cap); a missing file is not a failure.
ProfileRead ReadProfileFile(const std::string& path, std::string& text, int& err);

// Writes a temp file beside the target, fsyncs it, renames it over the target and syncs
// the folder: readers, and a writer killed at any point, leave either the old or the new
// contents. err holds the errno on failure.
bool ReplaceProfileFile(const std::string& path, const std::string& text, mode_t mode, int& err);

// The file a write of `path` replaces: a symbolic link (settings kept with the user's other
// dotfiles and linked in) is followed to the file it names, so that the link stays and
// its target gets the new contents. Links that loop or nest too deep stop the walk at
// the last link, which is then replaced like a file.
std::string ProfileWriteTarget(const std::string& path);

// Call with the profile's lock held.
void RemoveStaleTempFiles(const std::string& path);

}  // namespace Platform
