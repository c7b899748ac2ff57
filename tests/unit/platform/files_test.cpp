#include "platform/files.h"

#include <gtest/gtest.h>

#include "support/fake_clock.h"
#include "support/fault_files.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

TEST(FilesTest, ReadersShareAFileBeingWrittenCreateModesHoldAndListingsSkipFolders) {
  test::TempFolder dir;
  Files& files = SystemFiles();
  const std::wstring path = dir.File(L"a.bin");
  std::unique_ptr<File> writer, reader;
  ASSERT_TRUE(files.Create(path, {CreateMode::kTruncate, false, true, true, true, true}, &writer));
  ASSERT_TRUE(writer->Preallocate(1 << 20));
  ASSERT_TRUE(writer->Write("hello world", 11));
  ASSERT_TRUE(files.OpenForRead(path, &reader));  // while the writer has it open
  ASSERT_TRUE(reader->Seek(6));
  char buffer[16] = {};
  size_t got = 0;
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(buffer, got), "world");  // preallocation does not change the length
  EXPECT_TRUE(writer->Close());
  EXPECT_FALSE(files.Create(path, {CreateMode::kExclusive}, &writer));
  EXPECT_EQ(files.OpenForRead(dir.File(L"nope"), &reader).error, kErrorFileNotFound);
  ASSERT_TRUE(files.CreateFolderChain(dir.File(L"a") + L"/b"));
  std::vector<std::wstring> names;
  ASSERT_TRUE(files.ListFiles(dir.path(), &names));
  EXPECT_EQ(names, std::vector<std::wstring>{L"a.bin"});
}

// The kernel copy appends at the target's position; a source that ends
// before the range does is an error, not a short copy, through the system
// edge and through the read/write loop alike.
TEST(FilesTest, RangeCopiesAppendAndFailOnAShortSource) {
  test::TempFolder dir;
  test::FaultFiles wrapped;
  for (Files* files : {&SystemFiles(), static_cast<Files*>(&wrapped)}) {
    const std::wstring from = dir.File(L"from.bin"), to = dir.File(L"to.bin");
    test::WriteFileBytes(from, "hello world");
    std::unique_ptr<File> source, target;
    ASSERT_TRUE(files->OpenForRead(from, &source));
    ASSERT_TRUE(files->Create(to, {}, &target));
    ASSERT_TRUE(target->Write("x", 1));
    ASSERT_TRUE(target->CopyRange(*source, 6, 5));
    ASSERT_TRUE(target->CopyRange(*source, 0, 2));
    EXPECT_EQ(target->CopyRange(*source, 8, 4).error, kErrorHandleEof);
    target->Close();
    EXPECT_EQ(test::ReadFileBytes(to).substr(0, 8), "xworldhe");
  }
}

TEST(FilesTest, WholeFileHelpersLeaveNothingHalfWrittenAndPassTheErrorOn) {
  test::TempFolder dir;
  test::FaultFiles files;
  const std::wstring path = dir.File(L"settings.json");
  ASSERT_TRUE(WriteFileAtomically(files, path, "first"));
  files.FailWritesAfter(L".tmp", 3);
  EXPECT_EQ(WriteFileAtomically(files, path, "second").error, kErrorDiskFull);
  files.ClearFaults();
  files.FailRename(L"settings.json", kErrorFileNotFound);
  EXPECT_EQ(WriteFileAtomically(files, path, "third").error, kErrorFileNotFound);
  EXPECT_FALSE(test::FileExists(path + L".tmp"));

  files.ClearFaults();
  std::string read;
  ASSERT_TRUE(ReadWholeFile(files, path, &read));
  EXPECT_EQ(read, "first");
  files.EndReadsAfter(L"settings.json", 2);  // a read that ends early: a shorter file
  ASSERT_TRUE(ReadWholeFile(files, path, &read));
  EXPECT_EQ(read, "fi");
}

// A rename that a scanner's open blocks is tried again for up to 2 s; any
// other failure, or one that lasts, comes back.
TEST(FilesTest, PatientRenameRidesOutBriefSharingViolations) {
  struct Case {
    uint32_t error;
    int times;
    uint32_t result;
    int64_t waitedMs;
  };
  const Case cases[] = {
      {kErrorSharingViolation, 3, 0, 150},
      {kErrorAccessDenied, 1, 0, 50},
      {kErrorSharingViolation, -1, kErrorSharingViolation, 2'000},
      {kErrorFileNotFound, -1, kErrorFileNotFound, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.times);
    test::TempFolder dir;
    test::FaultFiles files;
    test::FakeClock clock;
    const int64_t start = clock.Now();
    files.FailRename(L"clip.mp4", c.error, c.times);
    test::WriteFileBytes(dir.File(L"clip.mp4.part"), "clip");
    EXPECT_EQ(ReplaceRenamePatiently(files, dir.File(L"clip.mp4.part"), dir.File(L"clip.mp4"), clock).error,
              c.result);
    EXPECT_EQ((clock.Now() - start) / kTicksPerMillisecond, c.waitedMs);
    EXPECT_EQ(test::FileExists(dir.File(L"clip.mp4")), c.result == 0);
  }
}

}  // namespace
}  // namespace kp
