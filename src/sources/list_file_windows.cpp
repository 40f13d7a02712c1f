// Opening a list file on Windows: the UTF-8 path becomes the UTF-16 name
// that _wfopen takes, so that any file name opens, not only those of the
// ANSI code page. Binary mode: the reader sees the same bytes as on POSIX
// (CR is white space to it anyway, and a Ctrl-Z does not end the list).
#include <sys/stat.h>
#include <sys/types.h>

#include "common/utf16.h"
#include "sources/list_file.h"

namespace agewarden {

ListFile OpenListFile(const std::string& path) {
  // A NUL would end the name early and open some other file.
  if (path.find('\0') != std::string::npos) return nullptr;
  ListFile file(_wfopen(Utf8ToWide(path).c_str(), L"rb"));
  struct _stat64 info {};
  if (file && (_fstat64(_fileno(file.get()), &info) != 0 || (info.st_mode & _S_IFMT) == _S_IFDIR)) file.reset();
  return file;
}

}  // namespace agewarden
