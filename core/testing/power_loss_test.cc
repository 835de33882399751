#include "testing/power_loss.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testing/test_util.h"

namespace corvantine::platform {
namespace {

namespace fs = std::filesystem;
using testing::PowerLossRecorder;
using testing::Survival;

// An image as relative path -> contents; a directory is listed with a
// trailing "/" and no contents.
using Listing = std::map<std::string, std::string>;

Listing ListImage(const std::string& image) {
  Listing listing;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(image)) {
    const std::string name = fs::relative(entry.path(), image).string();
    if (entry.is_directory()) {
      listing[name + "/"] = "";
    } else {
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream contents;
      contents << in.rdbuf();
      listing[name] = contents.str();
    }
  }
  return listing;
}

Result<> WriteNew(const std::string& path, std::string_view bytes, bool sync) {
  CVN_ASSIGN_OR_RETURN(File file, CreateExclusive(path));
  CVN_TRY(file.WriteAt(0, bytes));
  if (sync) CVN_TRY(file.Sync());
  return {};
}

// "a" holding "old", flushed with its entry.
Result<> DurableOld(const std::string& root) {
  CVN_TRY(WriteNew(JoinPath(root, "a"), "old", true));
  return SyncDir(root);
}

struct Case {
  const char* rule;
  std::function<Result<>(const std::string& root)> steps;
  Listing image;  // what survives when nothing unflushed does
};

const Case kCases[] = {
    {"a file keeps what it held at its last flush",
     [](const std::string& root) -> Result<> {
       CVN_TRY(DurableOld(root));
       CVN_ASSIGN_OR_RETURN(File file, OpenForReadWrite(JoinPath(root, "a")));
       CVN_TRY(file.WriteAt(3, "er"));
       return file.Truncate(1);
     },
     {{"a", "old"}}},
    {"an fdatasync flushes the contents like an fsync",
     [](const std::string& root) -> Result<> {
       CVN_ASSIGN_OR_RETURN(File file, CreateExclusive(JoinPath(root, "a")));
       CVN_TRY(file.WriteAt(0, "data"));
       CVN_TRY(file.DataSync());
       return SyncDir(root);
     },
     {{"a", "data"}}},
    {"a file whose entry was flushed but not its contents is empty",
     [](const std::string& root) -> Result<> {
       CVN_TRY(WriteNew(JoinPath(root, "a"), "lost", false));
       return SyncDir(root);
     },
     {{"a", ""}}},
    {"a creation the directory did not flush is lost",
     [](const std::string& root) { return WriteNew(JoinPath(root, "a"), "lost", true); },
     {}},
    {"a rename the directory did not flush leaves the old file",
     [](const std::string& root) -> Result<> {
       CVN_TRY(DurableOld(root));
       CVN_TRY(WriteNew(JoinPath(root, "a.tmp"), "new", true));
       return Rename(JoinPath(root, "a.tmp"), JoinPath(root, "a"));
     },
     {{"a", "old"}}},
    {"a flushed rename replaces the old file",
     [](const std::string& root) -> Result<> {
       CVN_TRY(DurableOld(root));
       CVN_TRY(WriteNew(JoinPath(root, "a.tmp"), "new", true));
       CVN_TRY(Rename(JoinPath(root, "a.tmp"), JoinPath(root, "a")));
       return SyncDir(root);
     },
     {{"a", "new"}}},
    {"a removal the directory did not flush is undone",
     [](const std::string& root) -> Result<> {
       CVN_TRY(DurableOld(root));
       return RemoveFile(JoinPath(root, "a"));
     },
     {{"a", "old"}}},
    {"creating directories flushes each new one into its parent",
     [](const std::string& root) -> Result<> {
       CVN_TRY(CreateDirs(JoinPath(root, "d/e")));
       CVN_TRY(WriteNew(JoinPath(root, "d/e/f"), "x", true));
       return SyncDir(JoinPath(root, "d/e"));
     },
     {{"d/", ""}, {"d/e/", ""}, {"d/e/f", "x"}}},
    {"a directory renamed without a flush of its parent keeps its old name",
     [](const std::string& root) -> Result<> {
       CVN_TRY(CreateDirs(JoinPath(root, "d")));
       CVN_TRY(WriteNew(JoinPath(root, "d/f"), "x", true));
       CVN_TRY(SyncDir(JoinPath(root, "d")));
       CVN_TRY(SyncDir(root));
       return Rename(JoinPath(root, "d"), JoinPath(root, "e"));
     },
     {{"d/", ""}, {"d/f", "x"}}},
};

TEST(PowerLossRecorder, AnImageKeepsOnlyWhatWasFlushed) {
  for (const Case& c : kCases) {
    TempDir dir;
    const std::string root = JoinPath(dir.path(), "root");
    ASSERT_EQ(Outcome(CreateDirs(root)), "ok");
    PowerLossRecorder recorder(root);
    ASSERT_EQ(Outcome(c.steps(root)), "ok") << c.rule;
    const std::string image = JoinPath(dir.path(), "image");
    recorder.WriteImage(image, Survival::FlushedOnly());
    EXPECT_EQ(ListImage(image), c.image) << c.rule;
  }
}

TEST(PowerLossRecorder, WhatTheRootHeldWhenArmedIsDurable) {
  TempDir dir;
  const std::string root = JoinPath(dir.path(), "root");
  ASSERT_EQ(Outcome(CreateDirs(JoinPath(root, "d"))), "ok");
  ASSERT_EQ(Outcome(WriteNew(JoinPath(root, "d/f"), "before", false)), "ok");
  PowerLossRecorder recorder(root);
  ASSERT_EQ(Outcome(RemoveAll(JoinPath(root, "d"))), "ok");
  recorder.WriteImage(JoinPath(dir.path(), "image"), Survival::FlushedOnly());
  EXPECT_EQ(ListImage(JoinPath(dir.path(), "image")), (Listing{{"d/", ""}, {"d/f", "before"}}));
}

TEST(PowerLossRecorder, ChangesAreNumberedAndOnlyFlushesMoveTheGeneration) {
  TempDir dir;
  const std::string root = JoinPath(dir.path(), "root");
  ASSERT_EQ(Outcome(CreateDirs(root)), "ok");
  PowerLossRecorder recorder(root);
  std::vector<uint64_t> seen;
  recorder.SetObserver([&](uint64_t change) { seen.push_back(change); });
  ASSERT_EQ(Outcome(WriteNew(JoinPath(dir.path(), "outside"), "x", true)), "ok");
  ASSERT_EQ(Outcome(WriteNew(JoinPath(root, "a"), "x", false)), "ok");  // create, write
  EXPECT_EQ(recorder.durable_generation(), 0u);
  ASSERT_EQ(Outcome(SyncDir(root)), "ok");
  EXPECT_EQ(recorder.durable_generation(), 1u);
  ASSERT_EQ(Outcome(SyncDir(root)), "ok");  // nothing new to flush
  EXPECT_EQ(recorder.durable_generation(), 1u);
  EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2, 3, 4}));
  EXPECT_EQ(recorder.changes(), 4u);
}

// What mixed survival keeps of a file flushed at "abc" then appended to in
// two writes, and of two creations the directory did not flush.
TEST(PowerLossRecorder, MixedSurvivalKeepsPrefixesOfWhatWasNotFlushed) {
  TempDir dir;
  const std::string root = JoinPath(dir.path(), "root");
  ASSERT_EQ(Outcome(CreateDirs(root)), "ok");
  PowerLossRecorder recorder(root);
  File file = CreateExclusive(JoinPath(root, "f")).value();
  ASSERT_EQ(Outcome(file.WriteAt(0, "abc")), "ok");
  ASSERT_EQ(Outcome(file.Sync()), "ok");
  ASSERT_EQ(Outcome(SyncDir(root)), "ok");
  ASSERT_EQ(Outcome(file.WriteAt(3, "def")), "ok");
  ASSERT_EQ(Outcome(file.WriteAt(6, "gh")), "ok");
  ASSERT_EQ(Outcome(WriteNew(JoinPath(root, "g"), "", false)), "ok");
  ASSERT_EQ(Outcome(WriteNew(JoinPath(root, "h"), "", false)), "ok");

  std::map<std::string, int> contents_seen;
  std::map<std::string, int> names_seen;
  for (uint32_t seed = 0; seed < 60; ++seed) {
    const std::string image = JoinPath(dir.path(), "image" + std::to_string(seed));
    recorder.WriteImage(image, Survival::Mixed(seed));
    Listing listing = ListImage(image);
    const std::string& f = listing["f"];
    ASSERT_TRUE(f.size() >= 3 && std::string("abcdefgh").starts_with(f)) << f;
    ASSERT_FALSE(listing.count("h") && !listing.count("g")) << "seed " << seed;
    ++contents_seen[f.size() == 3 ? "flushed" : f.size() == 8 ? "all" : "torn"];
    ++names_seen[listing.count("h") ? "both" : listing.count("g") ? "first" : "none"];
  }
  EXPECT_EQ(contents_seen.size(), 3u);
  EXPECT_EQ(names_seen.size(), 3u);
}

}  // namespace
}  // namespace corvantine::platform
