#include "cloud/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/cloud_files.h"

namespace levelling {
namespace {

namespace fs = std::filesystem;

// Every case twice: with an anonymous file written aside, and with a named one.
class OutputFileTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    dir_ = test::fresh_test_folder("output_file");
    saved_ = OutputFile::system_calls();
    OutputFile::system_calls().anonymous_files = GetParam();
  }
  void TearDown() override {
    OutputFile::system_calls() = saved_;
    fs::remove_all(dir_);
  }

  std::string path(const std::string &name) const { return (dir_ / name).string(); }

  // The names in the folder, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> found;
    for (const auto &entry : fs::directory_iterator(dir_)) {
      found.push_back(entry.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    return found;
  }

  // Writes `bytes` through an OutputFile at `target` and commits; the commit's error or "".
  std::string write(const std::string &target, const std::string &bytes) const {
    OutputFile out;
    std::string error;
    if (!out.open(target, &error)) {
      return "open: " + error;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), out.stream());
    return out.commit(&error) ? "" : "commit: " + error;
  }

  fs::path dir_;
  OutputFile::SystemCalls saved_;
};

unsigned mode_of(const std::string &path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? unsigned(status.st_mode & 07777) : 0u;
}

TEST_P(OutputFileTest, ReplacedFileKeepsItsPermissionsAndIsNeverWiderMeanwhile) {
  test::write_bytes(path("secret.ply"), "old");
  chmod(path("secret.ply").c_str(), 0600);
  OutputFile out;
  std::string error;
  ASSERT_TRUE(out.open(path("secret.ply"), &error)) << error;
  struct stat status;
  ASSERT_EQ(0, fstat(fileno(out.stream()), &status));
  EXPECT_EQ(0600u, unsigned(status.st_mode & 0777));  // while it is being written
  std::fputs("new", out.stream());
  ASSERT_TRUE(out.commit(&error)) << error;
  EXPECT_EQ("new", test::read_bytes(path("secret.ply")));
  EXPECT_EQ(0600u, mode_of(path("secret.ply")));
  EXPECT_EQ(std::vector<std::string>{"secret.ply"}, names());
}

// The file's bytes are on disk before the file takes the target's place, and the folder's entry
// after: seen through the calls commit makes.
std::vector<std::string> *calls_seen = nullptr;
std::string watched_target;
int record_file_sync(int) {
  calls_seen->push_back("file:" + test::read_bytes(watched_target));
  return 0;
}
int record_folder_sync(int) {
  calls_seen->push_back("folder:" + test::read_bytes(watched_target));
  return 0;
}
int failing_sync(int) {
  errno = EIO;
  return -1;
}

TEST_P(OutputFileTest, FlushedToDiskBeforeTheRenameAndNothingLeftWhenThatFails) {
  std::vector<std::string> seen;
  calls_seen = &seen;
  watched_target = path("cloud.ply");
  test::write_bytes(watched_target, "old");
  OutputFile::system_calls() = {record_file_sync, record_folder_sync, GetParam()};
  EXPECT_EQ("", write(watched_target, "new"));
  EXPECT_EQ((std::vector<std::string>{"file:old", "folder:new"}), seen);

  OutputFile::system_calls() = {failing_sync, record_folder_sync, GetParam()};
  EXPECT_EQ("commit: Input/output error", write(watched_target, "newer"));
  EXPECT_EQ("new", test::read_bytes(watched_target));
  EXPECT_EQ(std::vector<std::string>{"cloud.ply"}, names());
  calls_seen = nullptr;
}

TEST_P(OutputFileTest, SymbolicLinksFollowedKeptAndLoopsRefused) {
  test::write_bytes(path("real.ply"), "old");
  fs::create_symlink("real.ply", path("link.ply"));
  EXPECT_EQ("", write(path("link.ply"), "through the link"));
  EXPECT_TRUE(fs::is_symlink(path("link.ply")));
  EXPECT_EQ("through the link", test::read_bytes(path("real.ply")));

  // A dangling link creates the file it names.
  fs::create_symlink("missing.ply", path("dangling.ply"));
  EXPECT_EQ("", write(path("dangling.ply"), "created"));
  EXPECT_TRUE(fs::is_symlink(path("dangling.ply")));
  EXPECT_EQ("created", test::read_bytes(path("missing.ply")));

  fs::create_symlink("b.ply", path("a.ply"));
  fs::create_symlink("a.ply", path("b.ply"));
  EXPECT_EQ("open: Too many levels of symbolic links", write(path("a.ply"), "x"));
}

TEST_P(OutputFileTest, NamesUpToTheSystemsLimitAndAFolderRenamedMeanwhile) {
  const std::string longest(size_t(pathconf(dir_.c_str(), _PC_NAME_MAX)), 'n');
  EXPECT_EQ("", write(path(longest), "long"));
  EXPECT_EQ("long", test::read_bytes(path(longest)));

  fs::create_directories(dir_ / "before");
  OutputFile out;
  std::string error;
  ASSERT_TRUE(out.open(path("before/cloud.ply"), &error)) << error;
  std::fputs("moved", out.stream());
  fs::rename(dir_ / "before", dir_ / "after");
  ASSERT_TRUE(out.commit(&error)) << error;
  EXPECT_EQ("moved", test::read_bytes(path("after/cloud.ply")));
  std::vector<std::string> left;
  for (const auto &entry : fs::directory_iterator(dir_ / "after")) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(std::vector<std::string>{"cloud.ply"}, left);
}

TEST_P(OutputFileTest, AbandonedOutputLeavesTheTargetAndNothingElse) {
  test::write_bytes(path("kept.ply"), "kept");
  {
    OutputFile out;
    std::string error;
    ASSERT_TRUE(out.open(path("kept.ply"), &error)) << error;
    std::fputs("half", out.stream());
    std::fflush(out.stream());
    // An anonymous file has no name in the folder while it is written: killed now (SIGKILL, a
    // power cut), the program leaves nothing.
    if (out.anonymous()) {
      EXPECT_EQ(std::vector<std::string>{"kept.ply"}, names());
    }
  }
  {
    OutputFile out;
    std::string error;
    ASSERT_TRUE(out.open(path("new.ply"), &error)) << error;
    std::fputs("half", out.stream());
    out.abandon();
  }
  EXPECT_EQ("kept", test::read_bytes(path("kept.ply")));
  EXPECT_EQ(std::vector<std::string>{"kept.ply"}, names());
  OutputFile out;
  std::string error;
  EXPECT_FALSE(out.open(path("no/such/folder.ply"), &error));
  EXPECT_EQ("No such file or directory", error);
  EXPECT_FALSE(out.open(dir_.string(), &error));
  EXPECT_EQ("Is a directory", error);
}

INSTANTIATE_TEST_SUITE_P(AsideFile, OutputFileTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return info.param ? "Anonymous" : "Named";
                         });

}  // namespace
}  // namespace levelling
