// TreeListing: the listing of the host's whole directory tree that
// "/GetTree.cgi" shows.
//
// Run writes a new listing to BasePath + OutputFile() through the installed
// "bin/tree" program and waits for it. Listing a whole file system takes
// long, so it runs under a lock of its own, never under the service lock,
// one listing at a time. The listing is written to a ".part" file and
// renamed into place: a file being sent to a client never changes.
#ifndef SL_WEB_TREE_LISTING_H_
#define SL_WEB_TREE_LISTING_H_

#include <string>

#include "core/mutex.h"
#include "core/thread_annotations.h"

namespace sl {

class TreeListing {
 public:
  // `base_path` is the installation directory, ending in "/".
  explicit TreeListing(std::string base_path);
  TreeListing(const TreeListing&) = delete;
  TreeListing& operator=(const TreeListing&) = delete;

  // Makes a new listing and returns the path of its file.
  std::string Run() EXCLUDES(mu_);
  // "./data/treeout.txt" once a listing has run, empty before.
  std::string OutputFile() EXCLUDES(mu_);

 private:
  const std::string base_path_;
  Mutex mu_;  // one listing at a time; not held while it is sent
  std::string output_file_ GUARDED_BY(mu_);
};

}  // namespace sl

#endif
