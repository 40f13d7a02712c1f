// request_counts ARGS...: runs agewarden ARGS in process against the
// configured directory, output discarded, and prints the LDAP requests the
// backend sent: before the first account search, for each group of a walk
// (its bind and its members), and in all.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/run.h"
#include "counting_connection.h"
#include "directory/backend/ldap_directory.h"

namespace {

using namespace agewarden;

// What the real connection sent, counted on it.
testing::RequestCounts counts;
int searchesBeforeFirst = -1;

int Searches() { return counts.searches; }

class CountingSearch : public AccountSearch {
 public:
  explicit CountingSearch(std::unique_ptr<AccountSearch> inner) : inner_(std::move(inner)) {}
  HRESULT Search(const std::string& filter, std::unique_ptr<AccountCursor>& out) override {
    if (searchesBeforeFirst < 0) searchesBeforeFirst = Searches();
    return inner_->Search(filter, out);
  }
  void ExpectUpns(const std::vector<std::string>& upns) override { inner_->ExpectUpns(upns); }

 private:
  std::unique_ptr<AccountSearch> inner_;
};

class CountingGroup : public Group {
 public:
  CountingGroup(std::unique_ptr<Group> inner, int bindSearches) : inner_(std::move(inner)), bindSearches_(bindSearches) {}
  const Principal& Identity() const override { return inner_->Identity(); }
  HRESULT HasMember(const std::string& domain, const std::string& name, bool& member) override {
    return inner_->HasMember(domain, name, member);
  }
  HRESULT Members(std::deque<Principal>& members) override {
    const int before = Searches();
    const HRESULT status = inner_->Members(members);
    std::printf("group %s/%s: %d searches to bind, %d for its %zu members\n", Identity().DomainName().c_str(),
                Identity().name.c_str(), bindSearches_, Searches() - before, members.size());
    return status;
  }

 private:
  std::unique_ptr<Group> inner_;
  int bindSearches_;
};

class CountingDirectory : public Directory {
 public:
  explicit CountingDirectory(Directory& inner) : inner_(inner) {}
  void Start() override { inner_.Start(); }
  void Stop() override { inner_.Stop(); }
  HRESULT ReadNamingContext(std::optional<std::string>& namingContext) override {
    return inner_.ReadNamingContext(namingContext);
  }
  HRESULT OpenContainer(const std::string& dn, bool forChange, std::unique_ptr<AccountSearch>& out) override {
    std::unique_ptr<AccountSearch> inner;
    const HRESULT status = inner_.OpenContainer(dn, forChange, inner);
    if (inner) out = std::make_unique<CountingSearch>(std::move(inner));
    return status;
  }
  HRESULT OpenGroup(const std::string& domain, const std::string& name, std::unique_ptr<Group>& out) override {
    const int before = Searches();
    std::unique_ptr<Group> inner;
    const HRESULT status = inner_.OpenGroup(domain, name, inner);
    if (inner) out = std::make_unique<CountingGroup>(std::move(inner), Searches() - before);
    return status;
  }
  HRESULT OpenGroup(const Principal& member, std::unique_ptr<Group>& out) override {
    const int before = Searches();
    std::unique_ptr<Group> inner;
    const HRESULT status = inner_.OpenGroup(member, inner);
    if (inner) out = std::make_unique<CountingGroup>(std::move(inner), Searches() - before);
    return status;
  }
  void FinishWrites() override { inner_.FinishWrites(); }
  HRESULT GetDomainName(std::string& name) override { return inner_.GetDomainName(name); }
  HRESULT GetCallerName(std::string& name) override { return inner_.GetCallerName(name); }

 private:
  Directory& inner_;
};

}  // namespace

int main(int argc, char** argv) {
  auto ldap = CreateLdapDirectory({}, testing::Counting(counts));
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
  std::printf("before the first account search: %d bind, %d searches\n", counts.connections, searchesBeforeFirst);
  std::printf("in all: %d searches (%d paged requests), %d modifies; exit status %d\n", counts.searches, counts.pages,
              counts.modifies, status);
  return 0;
}
