// Directory-tree work done with file-system calls, never through a shell:
// the paths come from link targets and upgrade packages, and no text of
// theirs may ever reach a command line.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

namespace zq_camera_service {
namespace file_tree {

// "rm -rf path": removes a file, a link (not what it points to) or a whole
// directory tree. True when nothing is left at the path (also when nothing
// was there).
bool RemoveTree(const std::string& path);

// Copies `source` to exactly `destination` the way "cp -rf" copies into a
// destination that does not exist yet: directories recursively (merged into
// an existing directory), regular files with their permission bits, links as
// links, other special files recreated. An existing destination file that
// cannot be opened is removed and created anew. `skip` holds paths relative
// to `source` ("config/VersionConfig.json") that are left out.
// True when every entry was copied; the copy goes on past a failed entry.
bool CopyTree(const std::string& source, const std::string& destination, const std::vector<std::string>& skip = {});

// Calls `visit` for every entry below `root` (not `root` itself, which must
// be a real directory), found without following links, with its path
// relative to `root` ("lib/libx.so") and its lstat information; a directory
// comes before what it holds. Entries that cannot be examined are passed over.
void Walk(const std::string& root, const std::function<void(const std::string&, const struct stat&)>& visit);

// "mkdir -p" of base/segments[0]/segments[1]/... that never goes through a
// link below `base`: a missing directory is created, an existing one must be
// a real directory. False when a component is a link or not a directory, or
// cannot be created.
bool MakeDirectories(const std::string& base, const std::vector<std::string>& segments);

// "chmod u+x path" of a regular file (a link is refused, so the mode change
// cannot land outside the tree it is meant for). True when the bit is set.
bool AddOwnerExecute(const std::string& path);

}  // namespace file_tree
}  // namespace zq_camera_service
