#include "web/tree_listing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "core/unique_fd.h"

namespace sl {

namespace {

constexpr char kTreeOutputFile[] = "./data/treeout.txt";

// A text as one word of a shell command line.
std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

}  // namespace

TreeListing::TreeListing(std::string base_path) : base_path_(std::move(base_path)) {}

std::string TreeListing::Run() {
  MutexLock lock(mu_);
  output_file_ = kTreeOutputFile;
  std::string output = base_path_ + output_file_;
  const std::string partial = output + ".part";  // one listing at a time
  // The listing names every file of the host: readable by root only. A new
  // file is made each time (whatever lay at its name, a link too, is gone),
  // and the shell's redirection keeps the mode of the file it truncates.
  ::unlink(partial.c_str());
  UniqueFd created(::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  std::string command = ShellQuote(base_path_ + "./bin/tree") + " -n / > " + ShellQuote(partial);
  int status = std::system(command.c_str());
  (void)status;  // the listing file is what counts
  ::rename(partial.c_str(), output.c_str());
  return output;
}

std::string TreeListing::OutputFile() {
  MutexLock lock(mu_);
  return output_file_;
}

}  // namespace sl
