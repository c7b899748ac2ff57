#include "platform/files.h"

#include <gtest/gtest.h>

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

TEST(FilesTest, WholeFileHelpersLeaveNothingHalfWrittenAndPassTheErrorOn) {
  test::TempFolder dir;
  test::FaultFiles files;
  const std::wstring path = dir.File(L"settings.json");
  ASSERT_TRUE(WriteFileAtomically(files, path, "first"));
  files.FailWritesAfter(L".tmp", 3);
  EXPECT_EQ(WriteFileAtomically(files, path, "second").error, kErrorDiskFull);
  files.ClearFaults();
  files.FailRename(L"settings.json", 32);
  EXPECT_EQ(WriteFileAtomically(files, path, "third").error, 32u);
  EXPECT_FALSE(test::FileExists(path + L".tmp"));

  files.ClearFaults();
  std::string read;
  ASSERT_TRUE(ReadWholeFile(files, path, &read));
  EXPECT_EQ(read, "first");
  files.EndReadsAfter(L"settings.json", 2);  // a read that ends early: a shorter file
  ASSERT_TRUE(ReadWholeFile(files, path, &read));
  EXPECT_EQ(read, "fi");
}

}  // namespace
}  // namespace kp
