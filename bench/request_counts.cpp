// request_counts ARGS...: runs agewarden ARGS in process against the
// configured directory, output discarded, and prints the LDAP requests the
// backend sent: before the first account search, for each group of a walk
// (its bind and its members), and in all.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/run.h"
#include "directory/ldap_directory.h"

namespace {

using namespace agewarden;

const LdapDirectory* backend = nullptr;
int searchesBeforeFirst = -1;

int Searches() { return backend->Statistics().searches; }

class CountingSearch : public DirectorySearch {
 public:
  explicit CountingSearch(std::unique_ptr<DirectorySearch> inner) : inner_(std::move(inner)) {}
  HRESULT SetSearchPreference(SearchScope scope) override { return inner_->SetSearchPreference(scope); }
  HRESULT ExecuteSearch(const std::string& filter, const std::vector<std::string>& attributes,
                        std::unique_ptr<SearchHandle>& handle) override {
    if (searchesBeforeFirst < 0) searchesBeforeFirst = Searches();
    return inner_->ExecuteSearch(filter, attributes, handle);
  }
  void ExpectSearches(const std::vector<std::string>& filters) override { inner_->ExpectSearches(filters); }

 private:
  std::unique_ptr<DirectorySearch> inner_;
};

class CountingGroup : public AdsGroup {
 public:
  CountingGroup(std::unique_ptr<AdsGroup> inner, std::string path, int bindSearches)
      : inner_(std::move(inner)), path_(std::move(path)), bindSearches_(bindSearches) {}
  HRESULT GetAdsPath(std::string& path) override { return inner_->GetAdsPath(path); }
  HRESULT Get(const std::string& property, Variant& value) override { return inner_->Get(property, value); }
  HRESULT Put(const std::string& property, const Variant& value) override { return inner_->Put(property, value); }
  HRESULT SetInfo() override { return inner_->SetInfo(); }
  HRESULT IsMember(const std::string& path, int16_t& isMember) override { return inner_->IsMember(path, isMember); }
  HRESULT Members(std::vector<GroupMember>& members) override {
    const int before = Searches();
    const HRESULT status = inner_->Members(members);
    std::printf("group %s: %d searches to bind, %d for its %zu members\n", path_.c_str(), bindSearches_,
                Searches() - before, members.size());
    return status;
  }

 private:
  std::unique_ptr<AdsGroup> inner_;
  std::string path_;
  int bindSearches_;
};

class CountingDirectory : public Directory {
 public:
  explicit CountingDirectory(Directory& inner) : inner_(inner) {}
  void Start() override { inner_.Start(); }
  void Stop() override { inner_.Stop(); }
  HRESULT OpenObject(const std::string& path, std::unique_ptr<AdsObject>& out) override {
    return inner_.OpenObject(path, out);
  }
  HRESULT OpenSearch(const std::string& path, std::unique_ptr<DirectorySearch>& out) override {
    std::unique_ptr<DirectorySearch> inner;
    const HRESULT status = inner_.OpenSearch(path, inner);
    if (inner) out = std::make_unique<CountingSearch>(std::move(inner));
    return status;
  }
  HRESULT GetGroup(const std::string& path, std::unique_ptr<AdsGroup>& out) override {
    const int before = Searches();
    std::unique_ptr<AdsGroup> inner;
    const HRESULT status = inner_.GetGroup(path, inner);
    if (inner) out = std::make_unique<CountingGroup>(std::move(inner), path, Searches() - before);
    return status;
  }
  HRESULT GetUser(const std::string& path, std::unique_ptr<AdsObject>& out) override {
    return inner_.GetUser(path, out);
  }
  HRESULT GetDomainName(std::string& name) override { return inner_.GetDomainName(name); }
  HRESULT GetCallerName(std::string& name) override { return inner_.GetCallerName(name); }

 private:
  Directory& inner_;
};

}  // namespace

int main(int argc, char** argv) {
  auto ldap = CreateLdapDirectory();
  backend = ldap.get();
  CountingDirectory directory(*ldap);
  std::ostringstream discarded;
  RunSeams seams;
  seams.out = &discarded;
  seams.directory = &directory;
  seams.environment = [](const std::string& name, std::string& value) {
    const char* found = std::getenv(name.c_str());
    if (found != nullptr) value = found;
    return found != nullptr;
  };
  std::vector<std::string> args(argv, argv + argc);
  args[0] = "agewarden";
  const int status = RunCommandLine(args, seams);
  const LdapStatistics& s = ldap->Statistics();
  std::printf("before the first account search: %d bind, %d searches\n", s.binds, searchesBeforeFirst);
  std::printf("in all: %d searches (%d paged requests), %d modifies; exit status %d\n", s.searches, s.pages,
              s.modifies, status);
  return 0;
}
