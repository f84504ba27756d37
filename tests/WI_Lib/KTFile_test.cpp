// Tests of the file handle: mode table, open failures, complete reads and writes, line input.
#include "KTFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

struct ModeCase {
  const char* mode;
  int flags;
};

class KTFileModeTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(KTFileModeTest, KnownModesMapToOpenFlags) {
  int flags = -1;
  EXPECT_EQ(KTFileModeToFlag(GetParam().mode, &flags), STATUS_OK);
  EXPECT_EQ(flags, GetParam().flags);
}

INSTANTIATE_TEST_SUITE_P(
    Table, KTFileModeTest,
    ::testing::Values(ModeCase{"r", O_RDONLY}, ModeCase{"rb", O_RDONLY},
                      ModeCase{"w", O_WRONLY | O_CREAT | O_TRUNC},
                      ModeCase{"wb", O_WRONLY | O_CREAT | O_TRUNC},
                      ModeCase{"a", O_WRONLY | O_CREAT | O_APPEND},
                      ModeCase{"ab", O_WRONLY | O_CREAT | O_APPEND},
                      ModeCase{"r+", O_RDWR}, ModeCase{"rb+", O_RDWR}, ModeCase{"r+b", O_RDWR},
                      ModeCase{"w+", O_RDWR | O_CREAT | O_TRUNC},
                      ModeCase{"a+", O_RDWR | O_CREAT | O_APPEND},
                      ModeCase{"bbr+", O_RDWR}));

TEST(KTFileMode, MalformedModesAreRefused) {
  int flags = 0;
  for (const char* mode : {"", "b", "bbbb", "rw", "x", "r+x", "w++", "rbbbb"}) {
    EXPECT_EQ(KTFileModeToFlag(mode, &flags), ERROR_INVALID_PARAMETER) << mode;
  }
  EXPECT_EQ(KTFileModeToFlag(nullptr, &flags), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTFileModeToFlag("r", nullptr), ERROR_INVALID_PARAMETER);
}

class KTFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (file_ != nullptr) KTFileClose(&file_);
  }
  // Gives the data file `content` and opens it for reading.
  void OpenToRead(const std::string& content) {
    WriteFile(path_, content);
    ASSERT_EQ(KTFileOpen(&file_, path_.c_str(), "r"), STATUS_OK);
  }
  TempDir dir_;
  const std::string path_ = dir_.file("data.txt");
  KTFile* file_ = nullptr;
};

TEST_F(KTFileTest, OpenInMissingDirectoryFailsAndLeavesPointerNull) {
  std::string missing = dir_.file("nope/data.txt");
  EXPECT_EQ(KTFileOpen(&file_, missing.c_str(), "w"), ERROR_FILE_SYSTEM);
  EXPECT_EQ(file_, nullptr);
  EXPECT_EQ(KTFileOpen(&file_, path_.c_str(), "r"), ERROR_FILE_SYSTEM);  // does not exist
  EXPECT_EQ(file_, nullptr);
  EXPECT_EQ(KTFileOpen(&file_, path_.c_str(), "rw"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(file_, nullptr);
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(KTFileTest, OpenRefusesMisuse) {
  KTFile* busy = KTFileStdout;
  EXPECT_EQ(KTFileOpen(&busy, path_.c_str(), "w"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(busy, KTFileStdout);
  EXPECT_EQ(KTFileOpen(nullptr, path_.c_str(), "w"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTFileOpen(&file_, nullptr, "w"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTFileOpen(&file_, path_.c_str(), nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(KTFileTest, NewFilesGet0666LessUmask) {
  mode_t old = umask(027);
  ASSERT_EQ(KTFileOpen(&file_, path_.c_str(), "w"), STATUS_OK);
  umask(old);
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(KTFileTest, WriteTruncatesAndAppendAppends) {
  WriteFile(path_, "old content");
  ASSERT_EQ(KTFileOpen(&file_, path_.c_str(), "w"), STATUS_OK);
  size_t length = 3;
  EXPECT_EQ(KTFileWrite(file_, "new", &length), STATUS_OK);
  EXPECT_EQ(length, 3u);
  ASSERT_EQ(KTFileClose(&file_), STATUS_OK);
  EXPECT_EQ(file_, nullptr);
  EXPECT_EQ(ReadFile(path_), "new");

  ASSERT_EQ(KTFileOpen(&file_, path_.c_str(), "ab"), STATUS_OK);
  EXPECT_EQ(KTFilePrintf(file_, "+%d%s", 42, "x"), STATUS_OK);
  KTFileClose(&file_);
  EXPECT_EQ(ReadFile(path_), "new+42x");
}

TEST_F(KTFileTest, PrintfWritesTextsLongerThanAnyFixedBuffer) {
  std::string big(20000, 'q');
  ASSERT_EQ(KTFileOpen(&file_, path_.c_str(), "w"), STATUS_OK);
  EXPECT_EQ(KTFilePrintf(file_, "<%s>", big.c_str()), STATUS_OK);
  KTFileClose(&file_);
  EXPECT_EQ(ReadFile(path_), "<" + big + ">");
}

TEST_F(KTFileTest, ReadPastEndReportsEofWithBytesRead) {
  OpenToRead(std::string(40, 'z'));
  char buffer[100];
  size_t length = sizeof(buffer);
  EXPECT_EQ(KTFileRead(file_, buffer, &length), ERROR_FILE_EOF);
  EXPECT_EQ(length, 40u);
  EXPECT_EQ(std::string(buffer, 40), std::string(40, 'z'));
  length = 10;
  EXPECT_EQ(KTFileRead(file_, buffer, &length), ERROR_FILE_EOF);
  EXPECT_EQ(length, 0u);
}

TEST_F(KTFileTest, ReadExactLengthSucceeds) {
  OpenToRead("0123456789");
  char buffer[4];
  size_t length = 4;
  EXPECT_EQ(KTFileRead(file_, buffer, &length), STATUS_OK);
  EXPECT_EQ(std::string(buffer, 4), "0123");
}

TEST_F(KTFileTest, WriteToReadOnlyDescriptorFails) {
  OpenToRead("x");
  size_t length = 5;
  EXPECT_EQ(KTFileWrite(file_, "hello", &length), ERROR_FILE_SYSTEM);
  EXPECT_EQ(length, 0u);
}

TEST_F(KTFileTest, ReadlineDropsCarriageReturnAndReportsEofOnlyWhenNothingIsLeft) {
  OpenToRead("AB\r\nC");
  char buffer[16];
  EXPECT_EQ(KTFileReadline(file_, buffer, sizeof(buffer)), STATUS_OK);
  EXPECT_STREQ(buffer, "AB");
  EXPECT_EQ(KTFileReadline(file_, buffer, sizeof(buffer)), STATUS_OK);
  EXPECT_STREQ(buffer, "C");
  EXPECT_EQ(KTFileReadline(file_, buffer, sizeof(buffer)), ERROR_FILE_EOF);
  EXPECT_STREQ(buffer, "");
}

TEST_F(KTFileTest, ReadlineSplitsLinesLongerThanTheBuffer) {
  OpenToRead("ABCDEFG\n\nH");
  char buffer[4];
  const char* expected[] = {"ABC", "DEF", "G", "", "H"};
  for (const char* line : expected) {
    EXPECT_EQ(KTFileReadline(file_, buffer, sizeof(buffer)), STATUS_OK);
    EXPECT_STREQ(buffer, line);
  }
  EXPECT_EQ(KTFileReadline(file_, buffer, sizeof(buffer)), ERROR_FILE_EOF);
  EXPECT_EQ(KTFileReadline(file_, buffer, 0), ERROR_INVALID_PARAMETER);
}

TEST_F(KTFileTest, StandardHandlesAreNeverClosed) {
  int fd = -1;
  EXPECT_EQ(KTFileFileno(KTFileStdin, &fd), STATUS_OK);
  EXPECT_EQ(fd, 0);
  EXPECT_EQ(KTFileFileno(KTFileStdout, &fd), STATUS_OK);
  EXPECT_EQ(fd, 1);
  EXPECT_EQ(KTFileFileno(KTFileStderr, &fd), STATUS_OK);
  EXPECT_EQ(fd, 2);
  KTFile* handle = KTFileStderr;
  EXPECT_EQ(KTFileClose(&handle), ERROR_INVALID_PARAMETER);
  EXPECT_NE(fcntl(2, F_GETFD), -1);
  EXPECT_EQ(KTFileClose(nullptr), ERROR_INVALID_PARAMETER);
  KTFile* none = nullptr;
  EXPECT_EQ(KTFileClose(&none), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTFileFileno(nullptr, &fd), ERROR_INVALID_PARAMETER);
}

TEST_F(KTFileTest, OperationsRefuseNullArguments) {
  char buffer[4];
  size_t length = 1;
  EXPECT_EQ(KTFileRead(nullptr, buffer, &length), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTFileRead(KTFileStdin, nullptr, &length), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTFileRead(KTFileStdin, buffer, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTFileWrite(nullptr, buffer, &length), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTFileWrite(KTFileStdout, nullptr, &length), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTFileReadline(nullptr, buffer, sizeof(buffer)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTFilePrintf(nullptr, "%d", 1), ERROR_INVALID_PARAMETER);
}

}  // namespace
