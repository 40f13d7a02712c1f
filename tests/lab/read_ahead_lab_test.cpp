// Lists and groups read ahead (many names per search, several searches in
// flight) give exactly what one search per name gives, by the real server's
// own rules for matching userPrincipalName (its case folding beyond ASCII
// among them): the same output and exit status.
#include <sstream>

#include "cli/run.h"
#include "directory/backend/ldap_directory.h"
#include "lab_support.h"

namespace agewarden::lab {
namespace {

// The directory with every read-ahead hint dropped: each name its own search.
class OneSearchPerName : public Directory {
 public:
  explicit OneSearchPerName(std::unique_ptr<Directory> inner) : inner_(std::move(inner)) {}
  void Start() override { inner_->Start(); }
  void Stop() override { inner_->Stop(); }
  HRESULT ReadNamingContext(std::optional<std::string>& out) override { return inner_->ReadNamingContext(out); }
  HRESULT OpenContainer(const std::string& dn, std::unique_ptr<AccountSearch>& out) override {
    std::unique_ptr<AccountSearch> search;
    const HRESULT status = inner_->OpenContainer(dn, search);
    if (search) out = std::make_unique<Unhinted>(std::move(search));
    return status;
  }
  HRESULT OpenGroup(const std::string& d, const std::string& n, std::unique_ptr<Group>& out) override {
    return inner_->OpenGroup(d, n, out);
  }
  HRESULT OpenGroup(const Principal& member, std::unique_ptr<Group>& out) override { return inner_->OpenGroup(member, out); }
  HRESULT OpenUser(const std::string& dn, std::unique_ptr<UserAccount>& out) override { return inner_->OpenUser(dn, out); }
  HRESULT GetDomainName(std::string& name) override { return inner_->GetDomainName(name); }
  HRESULT GetCallerName(std::string& name) override { return inner_->GetCallerName(name); }

 private:
  struct Unhinted : AccountSearch {
    explicit Unhinted(std::unique_ptr<AccountSearch> inner) : inner(std::move(inner)) {}
    HRESULT Search(const std::string& filter, std::unique_ptr<AccountCursor>& out) override {
      return inner->Search(filter, out);
    }
    std::unique_ptr<AccountSearch> inner;
  };
  std::unique_ptr<Directory> inner_;
};

// The whole tool in process against the lab: its output, then its exit
// status. Every run ages its rows against the same instant.
std::string InProcess(const std::vector<std::string>& args, bool readAhead) {
  static const int64_t now = SystemTimeAsFileTime();
  std::unique_ptr<Directory> directory = CreateLdapDirectory();
  if (!readAhead) directory = std::make_unique<OneSearchPerName>(std::move(directory));
  std::ostringstream out;
  RunSeams seams{&out, directory.get(), [] { return now; }, LocalZoneOffset,
                 [](const std::string& name, std::string& value) {
                   const char* found = std::getenv(name.c_str());
                   if (found != nullptr) value = found;
                   return found != nullptr;
                 }};
  std::vector<std::string> argv = {"agewarden"};
  argv.insert(argv.end(), args.begin(), args.end());
  const int status = RunCommandLine(argv, seams);
  return out.str() + "status " + std::to_string(status) + "\n";
}

TEST(ReadAheadLab, SameAsOneSearchPerName) {
  REQUIRE_LAB();
  // Found, not found, a wildcard, repeats, letter-case variants, filter
  // metacharacters, UTF-8 and Latin-1, over more names than one batch holds.
  std::string names = "staff400a nosuchuser staff4* staff400a STAFF400A Staff200A ( a)(b \\ staff200\\61 jos\xC3\xA9 JOS\xC3\x89 jos\xE9\n";
  const std::vector<std::string> cycle = {"staff200a", "admin400", "Admin200", "nobody", "staff095b"};
  for (int i = 0; i < 450; ++i) names += cycle[i % 5] + (i % 5 == 3 ? std::to_string(i) : "") + "\n";
  const std::string list = TempPath("ahead.txt", names);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-l", list, "-d", "1"}, {"-l", list, "-x"}, {"-g", "Lab Group A", "-d", "1"}, {"-g", "Lab Group A", "-x"},
           {"-g", "Domain Users", "-d", "1"}, {"-g", "Nest Of Empties"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    EXPECT_EQ(InProcess(args, true), InProcess(args, false));
  }
  std::remove(list.c_str());
}

}  // namespace
}  // namespace agewarden::lab
