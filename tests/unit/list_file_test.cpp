#include "sources/list_file.h"

#include <fstream>

#include "run_fixture.h"

namespace agewarden::testing {
namespace {

constexpr int64_t kMarch14 = 126921076130000000;

class ListFileTest : public RunFixture {
 protected:
  void SetUp() override {
    directory.AddUser("Ann", kStaff, "ann@corp.example", kMarch14);
    directory.AddUser("Bob", kStaff, "bob@corp.example", kMarch14);
    directory.AddUser("Jos\xC3\xA9", kStaff, "jos\xC3\xA9@corp.example", kMarch14);
    state.upnSuffix = "@corp.example";
    path_ = ::testing::TempDir() + "agewarden-list.txt";
  }
  void TearDown() override { std::remove(path_.c_str()); }

  std::string Write(const std::string& bytes) {
    std::ofstream(path_, std::ios::binary) << bytes;
    return path_;
  }
  int32_t Process(const std::string& bytes) {
    std::unique_ptr<DirectorySearch> search;
    directory.OpenSearch(std::string("LDAP://") + kBase, search);
    return ProcessList(state, Write(bytes), search.get());
  }
  std::string path_;
};

TEST_F(ListFileTest, WordsSplitByEveryKindOfWhiteSpace) {
  state.options.quiet = true;
  EXPECT_EQ(Process("ann bob\tann\r\nnobody\vbob\fann\n\n  "), 0);
  EXPECT_EQ(Output(),
            "ann@corp.example\nbob@corp.example\nann@corp.example\n"
            "User object nobody could not be found.\n\n"
            "bob@corp.example\nann@corp.example\n");
  EXPECT_EQ(state.errorCount, 1);
  EXPECT_EQ(directory.filters.size(), 6u);
}

TEST_F(ListFileTest, EmptyFilesAndUnopenableFiles) {
  for (const std::string& bytes : {std::string(), std::string(" \n\t\r\n")}) {
    out.str("");
    state.errorCount = 0;
    EXPECT_EQ(Process(bytes), 0);
    EXPECT_EQ(Output(), "List \"" + path_ + "\" is empty\n");
    EXPECT_EQ(state.errorCount, 1);
  }
  out.str("");
  state.errorCount = 0;
  EXPECT_EQ(ProcessList(state, "/nonexistent", nullptr), -1);
  EXPECT_EQ(ProcessList(state, "/tmp", nullptr), -1);
  EXPECT_EQ(Output(), "Cannot open input file: /nonexistent\nCannot open input file: /tmp\n");
  EXPECT_EQ(state.errorCount, 0);
}

TEST_F(ListFileTest, LongWordsAreNeverSplit) {
  state.options.debug = true;
  const std::string longest(kMaxListWordBytes, 'a');
  const std::string tooLong(kMaxListWordBytes + 1, 'b');
  EXPECT_EQ(Process(longest + "\n" + tooLong + " ann"), 0);
  EXPECT_EQ(directory.filters.size(), 2u) << "the long word is one search, the longer one none";
  EXPECT_NE(Output().find("List: " + longest + "\n"), std::string::npos);
  EXPECT_NE(Output().find("A name longer than 1024 bytes in list " + path_ + " was skipped.\n"), std::string::npos);
  EXPECT_NE(Output().find("List: ann\n"), std::string::npos);
  EXPECT_EQ(Output().find("List: b"), std::string::npos);
  EXPECT_EQ(state.errorCount, 2) << "the long name not found, the longer one skipped";

  // Five million NUL bytes are one endless word: skipped once, never kept.
  int words = 0, skipped = 0;
  std::FILE* bounded = popen("head -c 5000000 /dev/zero", "r");
  ASSERT_NE(bounded, nullptr);
  EXPECT_EQ(ReadListWords(bounded, [&](const std::string&) { ++words; }, [&] { ++skipped; }), 1);
  pclose(bounded);
  EXPECT_EQ(words, 0);
  EXPECT_EQ(skipped, 1);
}

TEST_F(ListFileTest, Utf8AndLatin1Names) {
  state.options.quiet = true;
  // The same name once as UTF-8 and once as a Latin-1 byte.
  EXPECT_EQ(Process("jos\xC3\xA9\njos\xE9\n"), 0);
  EXPECT_EQ(Output(), "jos\xC3\xA9@corp.example\njos\xC3\xA9@corp.example\n");
  EXPECT_EQ(ListWordToName("\xE9t\xE9"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(ListWordToName("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");
}

TEST_F(ListFileTest, FailedSearchesAreCountedOnceEach) {
  directory.Fail(Op::ExecuteSearch, E_ADS_SERVER_DOWN, "bob");
  directory.Fail(Op::SetSearchPreference, E_FAIL, "", 2, 1);
  state.options.debug = true;
  EXPECT_EQ(Process("bob a)( ann nobody"), 0);
  const std::string o = Output();
  EXPECT_NE(o.find("Query failed to run. HRESULT: 8007203a\n"), std::string::npos);
  EXPECT_NE(o.find("Could not execute query. An invalid filter was specified.\n"), std::string::npos);
  EXPECT_NE(o.find("List: ann\nFilter: (&(objectClass=user)(objectCategory=person)(userPrincipalName=ann@corp.example))\n"
                   "SetSearchPreference failed\nQuery failed to run. HRESULT: 80004005\n"),
            std::string::npos);
  EXPECT_NE(o.find("User object nobody could not be found.\n\n"), std::string::npos);
  EXPECT_EQ(state.errorCount, 5);
}

TEST_F(ListFileTest, TrialOpenThroughTheRunDriver) {
  EXPECT_EQ(RunTool({"-l", Write("ann\n"), "-q"}), 0);
  EXPECT_EQ(Output(), "ann@corp.example\n");
}

}  // namespace
}  // namespace agewarden::testing
