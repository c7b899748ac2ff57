#include <gtest/gtest.h>

#include <algorithm>

#include "platform/files.h"
#include "support/fault_files.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

using test::FaultFiles;
using test::TempFolder;

TEST(FilesTest, CreateWriteSeekReadAndShareWhileWriting) {
  TempFolder dir;
  Files& files = SystemFiles();
  const std::wstring path = dir.File(L"a.bin");
  std::unique_ptr<File> writer;
  ASSERT_TRUE(files.Create(path, {CreateMode::kTruncate, false, true, true, true, true}, &writer));
  ASSERT_TRUE(writer->Preallocate(1 << 20));
  ASSERT_TRUE(writer->Write("hello world", 11));

  // Readable, and deletable, while the writer still has it open.
  std::unique_ptr<File> reader;
  ASSERT_TRUE(files.OpenForRead(path, &reader));
  uint64_t size = 0;
  ASSERT_TRUE(reader->Size(&size));
  EXPECT_EQ(size, 11u);  // preallocation does not change the length
  ASSERT_TRUE(reader->Seek(6));
  char buffer[16] = {};
  size_t got = 0;
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(buffer, got), "world");
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(writer->Close());
  EXPECT_TRUE(files.Delete(path));
  EXPECT_FALSE(files.Stat(path).exists);
}

TEST(FilesTest, ExclusiveCreateRefusesAnExistingFileAndTruncateEmptiesIt) {
  TempFolder dir;
  Files& files = SystemFiles();
  const std::wstring path = dir.File(L"x");
  test::WriteFileBytes(path, "old content");
  std::unique_ptr<File> file;
  EXPECT_FALSE(files.Create(path, {CreateMode::kExclusive}, &file));
  ASSERT_TRUE(files.Create(path, {CreateMode::kTruncate}, &file));
  file->Close();
  EXPECT_EQ(files.Stat(path).size, 0u);
}

TEST(FilesTest, FoldersListsRenamesAndMissingPaths) {
  TempFolder dir;
  Files& files = SystemFiles();
  const std::wstring deep = dir.File(L"a") + L"/b/c";
  ASSERT_TRUE(files.CreateFolderChain(deep));
  EXPECT_TRUE(files.CreateFolderChain(deep));  // existing is fine
  EXPECT_TRUE(files.Stat(deep).isFolder);
  test::WriteFileBytes(deep + L"/one.kpseg", "1");
  test::WriteFileBytes(deep + L"/two.txt", "22");
  std::vector<std::wstring> names;
  ASSERT_TRUE(files.ListFiles(dir.File(L"a") + L"/b", &names));
  EXPECT_TRUE(names.empty());  // folders are not listed
  ASSERT_TRUE(files.ListFiles(deep, &names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"one.kpseg", L"two.txt"}));

  ASSERT_TRUE(files.ReplaceRename(deep + L"/two.txt", deep + L"/one.kpseg"));
  EXPECT_EQ(test::ReadFileBytes(deep + L"/one.kpseg"), "22");

  std::unique_ptr<File> file;
  IoStatus missing = files.OpenForRead(deep + L"/nope", &file);
  EXPECT_EQ(missing.error, kErrorFileNotFound);  // ENOENT and ERROR_FILE_NOT_FOUND are both 2
  EXPECT_FALSE(files.OpenForRead(deep, &file));  // a folder is not a file
  uint64_t free = 0;
  EXPECT_TRUE(files.FreeSpace(deep, &free));
  EXPECT_GT(free, 0u);
}

TEST(FilesTest, WholeFileHelpersLeaveNothingHalfWritten) {
  TempFolder dir;
  FaultFiles files;
  const std::wstring path = dir.File(L"settings.json");
  ASSERT_TRUE(WriteFileAtomically(files, path, "first"));
  std::string read;
  ASSERT_TRUE(ReadWholeFile(files, path, &read));
  EXPECT_EQ(read, "first");

  files.FailWritesAfter(L".tmp", 3);
  IoStatus full = WriteFileAtomically(files, path, "second");
  EXPECT_EQ(full.error, kErrorDiskFull);
  files.ClearFaults();
  files.FailRename(L"settings.json", 32);
  EXPECT_EQ(WriteFileAtomically(files, path, "third").error, 32u);
  EXPECT_EQ(test::ReadFileBytes(path), "first");
  EXPECT_FALSE(test::FileExists(path + L".tmp"));

  // A read that ends early is seen as a shorter file, not an error.
  files.ClearFaults();
  files.EndReadsAfter(L"settings.json", 2);
  ASSERT_TRUE(ReadWholeFile(files, path, &read));
  EXPECT_EQ(read, "fi");
}

}  // namespace
}  // namespace kp
