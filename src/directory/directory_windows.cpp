#include "directory/directory_windows.h"

namespace agewarden {
namespace {

class UnreachableDirectory : public Directory {
 public:
  void Start() override {}
  void Stop() override {}
  HRESULT OpenObject(const std::string&, std::unique_ptr<AdsObject>& out) override { return Unreachable(out); }
  HRESULT OpenSearch(const std::string&, std::unique_ptr<DirectorySearch>& out) override { return Unreachable(out); }
  HRESULT GetGroup(const std::string&, std::unique_ptr<AdsGroup>& out) override { return Unreachable(out); }
  HRESULT GetUser(const std::string&, std::unique_ptr<AdsObject>& out) override { return Unreachable(out); }

 private:
  template <typename T>
  static HRESULT Unreachable(std::unique_ptr<T>& out) {
    out.reset();
    return E_ADS_SERVER_DOWN;
  }
};

}  // namespace

std::unique_ptr<Directory> CreateWindowsDirectory() { return std::make_unique<UnreachableDirectory>(); }

}  // namespace agewarden
