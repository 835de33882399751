// Publishing the anchor: the keep rule, the set-aside anchor that the
// manifest still names, and what survives failed calls and crashes.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "retention/crash.h"
#include "retention/retention.h"
#include "retention/test_util.h"
#include "testing/fault.h"
#include "testing/test_util.h"
#include "util/crc32c.h"

namespace corvantine::retention {
namespace {

using namespace platform::testing;
using platform::PathExists;

uint32_t ChecksumOf(const CoreRetentionAnchor& anchor) {
  std::string payload;
  util::BinaryWriter writer(payload);
  anchor.Encode(writer);
  return util::crc32c::Value(payload);
}

std::string TemporaryPath(const TempDir& dir) { return AnchorPath(dir.path()) + ".tmp"; }

// The checksum of the anchor that LoadAuthoritative finds, or nothing.
std::optional<uint32_t> AuthoritativeChecksum(const TempDir& dir,
                                              std::optional<uint32_t> manifest) {
  Result<std::optional<LoadedAnchor>> loaded = LoadAuthoritative(dir.path(), manifest);
  if (!loaded.ok() || !loaded->has_value()) return std::nullopt;
  return (*loaded)->info.checksum;
}

std::optional<uint32_t> FileChecksum(const std::string& path) {
  Result<LoadedAnchor> loaded = Decode(path);
  if (!loaded.ok()) return std::nullopt;
  return loaded->info.checksum;
}

// Anchors of three successive heads, as successive creations make them.
const CoreRetentionAnchor kA = SampleAnchor(9);
const CoreRetentionAnchor kB = SampleAnchor(10);
const CoreRetentionAnchor kC = SampleAnchor(11);

TEST(Publish, WritesTheAnchorThroughATemporaryFile) {
  TempDir dir;
  const Result<RetentionAnchorInfo> info = Publish(dir.path(), kA, std::nullopt);
  ASSERT_EQ(Outcome(info), "ok");
  EXPECT_EQ(info->checksum, ChecksumOf(kA));
  EXPECT_EQ(info->head, 9u);

  const Result<std::optional<LoadedAnchor>> loaded = Load(dir.path());
  ASSERT_EQ(Outcome(loaded), "ok");
  ASSERT_TRUE(loaded->has_value());
  EXPECT_EQ((*loaded)->anchor, kA);
  EXPECT_EQ((*loaded)->info, *info);
  EXPECT_FALSE(PathExists(TemporaryPath(dir)));
  EXPECT_FALSE(PathExists(PreviousAnchorPath(dir.path())));
}

TEST(Publish, KeepsAnExistingFileThatServesAsWell) {
  TempDir dir;
  const RetentionAnchorInfo first = Publish(dir.path(), kA, std::nullopt).value();
  const std::string bytes = platform::ReadFile(AnchorPath(dir.path())).value();

  // Catalogs and system records are not compared.
  CoreRetentionAnchor same = kA;
  same.system_records.push_back({"x", "y"});
  same.stream_catalog.RecordBatch(format::BranchId(), "s", format::StreamId(FilledId(4)), {},
                                  std::nullopt, 0, stream::AppendReceipt{});
  ASSERT_NE(ChecksumOf(same), first.checksum);
  EXPECT_EQ(Publish(dir.path(), same, std::nullopt).value(), first);
  EXPECT_EQ(Publish(dir.path(), same, first.checksum).value(), first);
  EXPECT_EQ(platform::ReadFile(AnchorPath(dir.path())).value(), bytes);
  EXPECT_FALSE(PathExists(TemporaryPath(dir)));
  EXPECT_FALSE(PathExists(PreviousAnchorPath(dir.path())));

  CoreRetentionAnchor other_coverage = kA;
  other_coverage.projection_coverage[0].snapshot_ids.push_back("s2");
  CoreRetentionAnchor other_codec = kA;
  other_codec.consumer_bootstraps[0].codec = "json";
  CoreRetentionAnchor other_version = kA;
  other_version.format_version = 6;  // fails identity: the file is rewritten
  for (const CoreRetentionAnchor& changed : {other_coverage, other_codec, kB}) {
    EXPECT_EQ(Publish(dir.path(), changed, std::nullopt).value().checksum, ChecksumOf(changed));
  }
  // The read-back refuses what it could not open with.
  EXPECT_EQ(Outcome(Publish(dir.path(), other_version, std::nullopt)),
            "invalid format: unsupported retention anchor format 6");
  EXPECT_TRUE(PathExists(TemporaryPath(dir)));
  EXPECT_EQ(FileChecksum(AnchorPath(dir.path())), ChecksumOf(kB));
}

TEST(Publish, ReplacesADamagedFile) {
  TempDir dir;
  ASSERT_TRUE(platform::CreateDirs(dir.path() + "/retention").ok());
  ASSERT_TRUE(
      platform::CreateOrTruncate(AnchorPath(dir.path())).value().WriteAt(0, "garbage").ok());
  EXPECT_EQ(Outcome(Publish(dir.path(), kA, ChecksumOf(kB))), "ok");
  EXPECT_EQ(FileChecksum(AnchorPath(dir.path())), ChecksumOf(kA));
}

TEST(Publish, RefusesInvalidBootstrapsBeforeWriting) {
  TempDir dir;
  CoreRetentionAnchor anchor = kA;
  anchor.consumer_bootstraps[0].checkpoint_id = {};
  EXPECT_EQ(Outcome(Publish(dir.path(), anchor, std::nullopt)),
            "invalid format: invalid or duplicate consumer bootstrap coverage");
  EXPECT_FALSE(PathExists(dir.path() + "/retention"));
}

TEST(Publish, SetsAsideTheAnchorTheManifestNames) {
  TempDir dir;
  const std::string previous = PreviousAnchorPath(dir.path());
  const uint32_t a = ChecksumOf(kA);
  const uint32_t b = ChecksumOf(kB);
  const uint32_t c = ChecksumOf(kC);
  ASSERT_EQ(Outcome(Publish(dir.path(), kA, std::nullopt)), "ok");

  // The manifest names A: B replaces it, A moves aside.
  ASSERT_EQ(Outcome(Publish(dir.path(), kB, a)), "ok");
  EXPECT_EQ(FileChecksum(AnchorPath(dir.path())), b);
  EXPECT_EQ(FileChecksum(previous), a);
  EXPECT_EQ(AuthoritativeChecksum(dir, a), a);
  EXPECT_EQ(AuthoritativeChecksum(dir, b), b);
  EXPECT_EQ(AuthoritativeChecksum(dir, std::nullopt), b);
  // A checksum that neither file carries: the current file, for open to refuse.
  EXPECT_EQ(AuthoritativeChecksum(dir, c), b);

  // Still A: C replaces B, which the manifest never named; A stays aside.
  ASSERT_EQ(Outcome(Publish(dir.path(), kC, a)), "ok");
  EXPECT_EQ(FileChecksum(previous), a);
  EXPECT_EQ(AuthoritativeChecksum(dir, a), a);

  // The manifest switched to C: the next publish sets C aside, A is gone.
  ASSERT_EQ(Outcome(Publish(dir.path(), kB, c)), "ok");
  EXPECT_EQ(FileChecksum(previous), c);
  EXPECT_EQ(AuthoritativeChecksum(dir, a), b);

  // A set-aside anchor that the manifest does not name goes at the next
  // publish, as it does without a manifest checksum.
  ASSERT_EQ(Outcome(Publish(dir.path(), kA, a)), "ok");
  EXPECT_FALSE(PathExists(previous));
  EXPECT_EQ(AuthoritativeChecksum(dir, a), a);
  ASSERT_EQ(Outcome(Publish(dir.path(), kB, a)), "ok");
  EXPECT_EQ(FileChecksum(previous), a);
  ASSERT_EQ(Outcome(Publish(dir.path(), kC, std::nullopt)), "ok");
  EXPECT_FALSE(PathExists(previous));
}

// A directory in a given state, a publish into it, and what the manifest
// names meanwhile.
struct Scenario {
  const char* name;
  std::vector<std::pair<const CoreRetentionAnchor*, std::optional<uint32_t>>> setup;
  const CoreRetentionAnchor* published;
  std::optional<uint32_t> manifest;
  std::vector<uint32_t> acceptable;  // what LoadAuthoritative may find afterwards
};

std::vector<Scenario> Scenarios() {
  const uint32_t a = ChecksumOf(kA);
  const uint32_t b = ChecksumOf(kB);
  const uint32_t c = ChecksumOf(kC);
  return {
      {"manifest names the current anchor", {{&kA, std::nullopt}}, &kB, a, {a}},
      {"manifest names the set-aside anchor", {{&kA, std::nullopt}, {&kB, a}}, &kC, a, {a}},
      {"no manifest, stale set-aside anchor", {{&kA, std::nullopt}, {&kB, a}}, &kC, std::nullopt,
       {b, c}},
  };
}

void Prepare(const TempDir& dir, const Scenario& scenario) {
  for (const auto& [anchor, manifest] : scenario.setup) {
    ASSERT_EQ(Outcome(Publish(dir.path(), *anchor, manifest)), "ok");
  }
}

TEST(PublishFaults, EveryFailedCallKeepsTheAnchorTheManifestNames) {
  const Op ops[] = {Op::kOpen,  Op::kRead,   Op::kWrite,     Op::kSync,    Op::kClose,
                    Op::kRename, Op::kRemove, Op::kCreateDir, Op::kSyncDir};
  for (const Scenario& scenario : Scenarios()) {
    const uint32_t published = ChecksumOf(*scenario.published);
    for (const Op op : ops) {
      uint64_t calls;
      {
        TempDir dir;
        Prepare(dir, scenario);
        CallCounter counter(op);
        ASSERT_EQ(Outcome(Publish(dir.path(), *scenario.published, scenario.manifest)), "ok");
        calls = counter.count();
      }
      for (uint64_t nth = 1; nth <= calls; ++nth) {
        SCOPED_TRACE(testing::Message() << scenario.name << ", op " << static_cast<int>(op)
                                        << ", call " << nth);
        TempDir dir;
        Prepare(dir, scenario);
        Result<RetentionAnchorInfo> result = RetentionAnchorInfo{};
        {
          ScopedFault fault(op, nth, Fault::Error(EIO));
          result = Publish(dir.path(), *scenario.published, scenario.manifest);
        }
        const std::optional<uint32_t> found = AuthoritativeChecksum(dir, scenario.manifest);
        ASSERT_TRUE(found.has_value());
        EXPECT_TRUE(std::find(scenario.acceptable.begin(), scenario.acceptable.end(), *found) !=
                    scenario.acceptable.end());
        if (result.ok()) {
          EXPECT_EQ(AuthoritativeChecksum(dir, published), published);
        }

        // A retry completes the publish.
        ASSERT_EQ(Outcome(Publish(dir.path(), *scenario.published, scenario.manifest)), "ok");
        EXPECT_EQ(AuthoritativeChecksum(dir, published), published);
        if (scenario.manifest) {
          EXPECT_EQ(AuthoritativeChecksum(dir, scenario.manifest), scenario.manifest);
        }
      }
    }
  }
}

TEST(PublishFaults, ReadBackFailureLeavesTheTemporaryFile) {
  TempDir dir;
  ASSERT_EQ(Outcome(Publish(dir.path(), kA, std::nullopt)), "ok");
  {
    ScopedFault fault(Op::kRead, 1, Fault::Short(0), "core.anchor.tmp");
    EXPECT_EQ(Outcome(Publish(dir.path(), kB, std::nullopt)),
              "io: failed to fill whole buffer");
  }
  EXPECT_EQ(FileChecksum(TemporaryPath(dir)), ChecksumOf(kB));
  EXPECT_EQ(FileChecksum(AnchorPath(dir.path())), ChecksumOf(kA));
}

// Runs Publish(kB, manifest naming kA) in a child process that crashes at
// `point`; true if it died of SIGABRT.
bool PublishCrashingAt(const TempDir& dir, std::string_view point) {
  const pid_t child = fork();
  if (child == 0) {
    setenv(kCrashAtVariable, std::string(point).c_str(), 1);
    (void)Publish(dir.path(), kB, ChecksumOf(kA));
    _exit(0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return false;
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT;
}

TEST(PublishCrash, EachPointLeavesARecoverableDirectory) {
  const uint32_t a = ChecksumOf(kA);
  const uint32_t b = ChecksumOf(kB);
  const struct {
    std::string_view point;
    std::optional<uint32_t> temporary;
    std::optional<uint32_t> current;
    std::optional<uint32_t> previous;
  } cases[] = {
      {kCrashBeforeAnchorPublish, std::nullopt, a, std::nullopt},
      {kCrashAfterAnchorFsync, b, a, std::nullopt},
      {kCrashAfterAnchorPublish, std::nullopt, b, a},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.point);
    TempDir dir;
    ASSERT_EQ(Outcome(Publish(dir.path(), kA, std::nullopt)), "ok");
    ASSERT_TRUE(PublishCrashingAt(dir, c.point));
    EXPECT_EQ(FileChecksum(TemporaryPath(dir)), c.temporary);
    EXPECT_EQ(FileChecksum(AnchorPath(dir.path())), c.current);
    EXPECT_EQ(FileChecksum(PreviousAnchorPath(dir.path())), c.previous);
    EXPECT_EQ(AuthoritativeChecksum(dir, a), a);

    ASSERT_EQ(Outcome(Publish(dir.path(), kB, a)), "ok");
    EXPECT_EQ(AuthoritativeChecksum(dir, a), a);
    EXPECT_EQ(AuthoritativeChecksum(dir, b), b);
  }
}

TEST(PublishCrash, OnlyTheExactNameTriggers) {
  TempDir dir;
  for (const char* value : {"after_anchor", "after_anchor_fsync ", "AFTER_ANCHOR_FSYNC", ""}) {
    setenv(kCrashAtVariable, value, 1);
    EXPECT_EQ(Outcome(Publish(dir.path(), kA, std::nullopt)), "ok") << value;
    ASSERT_TRUE(platform::RemoveFile(AnchorPath(dir.path())).ok());
  }
  unsetenv(kCrashAtVariable);
}

}  // namespace
}  // namespace corvantine::retention
