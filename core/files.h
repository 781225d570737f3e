// What stands at a path in the file system, asked with stat(2), so a
// symbolic link answers for its target. A path that cannot be examined
// (missing, or a directory on the way that may not be searched) answers
// false to all three.
#ifndef SL_CORE_FILES_H_
#define SL_CORE_FILES_H_

#include <string>

namespace sl {

// True when any file system entry exists at path.
bool PathExists(const std::string& path);
// True when something other than a directory exists at path.
bool FileExists(const std::string& path);
// True when path names a directory.
bool IsDirectory(const std::string& path);

}  // namespace sl

#endif
