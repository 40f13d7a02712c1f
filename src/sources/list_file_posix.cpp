// Opening a list file with the C library: the path is the bytes given.
#include <sys/stat.h>

#include "sources/list_file.h"

namespace agewarden {

ListFile OpenListFile(const std::string& path) {
  ListFile file(std::fopen(path.c_str(), "r"));
  struct stat info {};
  if (file && (fstat(fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode))) file.reset();
  return file;
}

}  // namespace agewarden
