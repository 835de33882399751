// The snapshot directory: publishing, listing, pruning, deleting, which
// snapshots are offered for restore, and what failed calls leave behind.

#include "snapshot/snapshot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "snapshot/test_util.h"
#include "testing/fault.h"
#include "testing/test_util.h"
#include "util/json.h"

namespace corvantine::snapshot {
namespace {

using namespace platform::testing;
using platform::PathExists;

const format::Fingerprint kFingerprint = FilledId(0xAA);

SnapshotInfo PublishSample(const TempDir& dir, uint64_t position, int64_t created,
                           std::optional<uint32_t> partition = std::nullopt) {
  return Publish(dir.path(), SampleManifest(position, created, partition), "state").value();
}

std::vector<std::string> Ids(const std::vector<SnapshotInfo>& infos) {
  std::vector<std::string> ids;
  for (const SnapshotInfo& info : infos) ids.push_back(info.id);
  return ids;
}

std::vector<std::string> DirNames(const TempDir& dir) {
  return platform::ListDir(SnapshotDir(dir.path())).value();
}

std::string Catalog(const TempDir& dir) {
  return platform::ReadFile(SnapshotDir(dir.path()) + "/catalog.json").value();
}

TEST(Publish, WritesAVerifiedFileAndItsCatalog) {
  TempDir dir;
  const SnapshotManifest manifest = SampleManifest(42, 7);
  const SnapshotResult<SnapshotInfo> info = Publish(dir.path(), manifest, "state");
  ASSERT_EQ(Outcome(info), "ok");
  EXPECT_EQ(info->id, manifest.FileName());
  EXPECT_EQ(info->manifest, manifest);
  EXPECT_EQ(Verify(dir.path(), info->id).value(), *info);
  EXPECT_EQ(DirNames(dir), (std::vector<std::string>{info->id, "catalog.json"}));
  EXPECT_EQ(Catalog(dir), "[\"" + info->id + "\"]");

  // A name is never reused, and a manifest that does not describe its state
  // is refused by the read-back; neither leaves a file behind.
  EXPECT_EQ(Outcome(Publish(dir.path(), manifest, "state")),
            "io: File exists (os error 17)");
  EXPECT_EQ(Outcome(Publish(dir.path(), SampleManifest(43, 7), "other")),
            "snapshot_corrupt: snapshot checksum mismatch");
  EXPECT_EQ(DirNames(dir), (std::vector<std::string>{info->id, "catalog.json"}));
}

TEST(Publish, KeepsTheTwoNewestOfEachFingerprintAndPartition) {
  TempDir dir;
  const SnapshotInfo other_partition = PublishSample(dir, 1, 1, 0);
  SnapshotManifest foreign = SampleManifest(1, 1);
  foreign.descriptor_fingerprint = foreign.cursor.descriptor_fingerprint = FilledId(0xBB);
  const std::string other_fingerprint = Publish(dir.path(), foreign, "state").value().id;
  const SnapshotInfo oldest = PublishSample(dir, 2, 9);
  const SnapshotInfo later_same_position = PublishSample(dir, 3, 5);
  const SnapshotInfo earlier_same_position = PublishSample(dir, 3, 4);
  EXPECT_EQ(Ids(List(dir.path(), kFingerprint).value()),
            (std::vector<std::string>{later_same_position.id, earlier_same_position.id,
                                      other_partition.id}));
  EXPECT_FALSE(PathExists(SnapshotDir(dir.path()) + "/" + oldest.id));
  EXPECT_EQ(Ids(List(dir.path(), FilledId(0xBB)).value()), std::vector<std::string>{other_fingerprint});
}

TEST(Publish, NeverPrunesTheSnapshotItHasJustWritten) {
  TempDir dir;
  PublishSample(dir, 5, 1);
  PublishSample(dir, 6, 1);
  const SnapshotInfo older = PublishSample(dir, 4, 2);
  EXPECT_EQ(Outcome(Verify(dir.path(), older.id)), "ok");
  EXPECT_EQ(List(dir.path(), kFingerprint).value().size(), 3u);
  const SnapshotInfo newest = PublishSample(dir, 7, 1);
  EXPECT_EQ(Ids(List(dir.path(), kFingerprint).value()).front(), newest.id);
  EXPECT_EQ(List(dir.path(), kFingerprint).value().size(), 2u);
}

// What the restore of partition 1 of a four-partition projection, at most
// at position 10, accepts.
RestoreIdentity PartitionIdentity() {
  const SnapshotManifest m = SampleManifest(0, 0, 1);
  return {m.database_id,        m.projection_name,     m.descriptor_fingerprint,
          m.definition_id,      m.definition_version,  m.branch_id,
          m.branch_lineage_fingerprint, m.state_codec, m.state_codec_version,
          "stream-id-modulo",   1,                     4,
          1,                    10};
}

// Each id refused names a file that must survive: without the checks, the
// NUL would cut the path short at "victim.snap", and the separators would
// reach outside the snapshot directory.
TEST(SnapshotIds, OnlyPlainSnapshotNamesReachTheDirectory) {
  TempDir dir;
  const SnapshotInfo victim = PublishSample(dir, 1, 1);
  const std::string escaping = "../snapshots/" + victim.id;
  const std::string refused[] = {std::string(victim.id) + std::string("\0.snap", 6),
                                 escaping,
                                 "..\\snapshots\\" + victim.id,
                                 "catalog.json",
                                 "snap",
                                 ""};
  for (const std::string& id : refused) {
    SCOPED_TRACE(id);
    EXPECT_EQ(Outcome(Verify(dir.path(), id)), "snapshot_internal: invalid snapshot id");
    EXPECT_EQ(Outcome(Delete(dir.path(), id)), "snapshot_internal: invalid snapshot id");
  }
  RestoreIdentity identity = PartitionIdentity();
  identity.partition.reset();
  EXPECT_EQ(LoadCandidates(dir.path(), {victim}, identity).value().size(), 1u);
  EXPECT_TRUE(LoadCandidates(dir.path(), {{escaping, victim.manifest}}, identity).value().empty());
  EXPECT_EQ(Outcome(Verify(dir.path(), victim.id)), "ok");
  EXPECT_EQ(Outcome(Verify(dir.path(), ".snap")), "io: No such file or directory (os error 2)");
}

TEST(Delete, RemovesOneFileAndRewritesTheCatalog) {
  TempDir dir;
  const SnapshotInfo info = PublishSample(dir, 1, 1);
  ASSERT_TRUE(platform::RemoveFile(SnapshotDir(dir.path()) + "/catalog.json").ok());
  EXPECT_FALSE(Delete(dir.path(), "0-p0000-0-0.snap").value());
  EXPECT_FALSE(PathExists(SnapshotDir(dir.path()) + "/catalog.json"));
  EXPECT_TRUE(Delete(dir.path(), info.id).value());
  EXPECT_EQ(Catalog(dir), "[]");
  EXPECT_FALSE(Delete(dir.path(), info.id).value());
}

TEST(Delete, OfAProjectionOrOfEverythingNeedsNoSnapshots) {
  TempDir dir;
  EXPECT_TRUE(List(dir.path(), kFingerprint).value().empty());
  EXPECT_FALSE(PathExists(dir.path() + "/derived"));
  ASSERT_EQ(Outcome(DeleteProjection(dir.path(), kFingerprint)), "ok");
  EXPECT_EQ(Catalog(dir), "[]");
  PublishSample(dir, 1, 1);
  PublishSample(dir, 1, 1, 2);
  ASSERT_EQ(Outcome(DeleteProjection(dir.path(), kFingerprint)), "ok");
  EXPECT_EQ(Catalog(dir), "[]");
  EXPECT_EQ(Outcome(DeleteAll(dir.path())), "ok");
  EXPECT_FALSE(PathExists(dir.path() + "/derived"));
  EXPECT_EQ(Outcome(DeleteAll(dir.path())), "ok");
}

// Damaged files and strangers are catalogued but never listed; temporary
// files are neither, nor is an entry that is not a regular file, which is
// never opened (a FIFO would block) or followed, even at the catalog's names.
TEST(List, ShowsOnlyDecodableSnapshots) {
  TempDir dir;
  const SnapshotInfo good = PublishSample(dir, 1, 1);
  const std::string snapshots = SnapshotDir(dir.path());
  const std::string damaged = std::string(good.id).replace(0, 1, "b");
  const std::string copy = platform::ReadFile(snapshots + "/" + good.id).value();
  WriteFile(snapshots + "/" + damaged, "x");
  // A name that is not UTF-8 could not be named back by its id.
  const std::string stranger = "\xff.snap";
  WriteFile(snapshots + "/" + stranger, copy);
  WriteFile(snapshots + "/.x.snap.tmp", copy);
  for (const char* directory : {"/d.snap", "/catalog.json"}) {
    (void)platform::RemoveFile(snapshots + directory);
    ASSERT_EQ(::mkdir((snapshots + directory).c_str(), 0777), 0);
    WriteFile(snapshots + directory + "/x", "x");
  }
  ASSERT_EQ(::mkfifo((snapshots + "/f.snap").c_str(), 0666), 0);
  ASSERT_EQ(::mkfifo((snapshots + "/catalog.tmp").c_str(), 0666), 0);
  ASSERT_EQ(::symlink(dir.path().c_str(), (snapshots + "/l.snap").c_str()), 0);
  ASSERT_EQ(::symlink("gone", (snapshots + "/g.snap").c_str()), 0);
  ASSERT_EQ(Outcome(UpdateCatalog(dir.path())), "ok");
  EXPECT_EQ(Ids(List(dir.path(), kFingerprint).value()), std::vector<std::string>{good.id});
  EXPECT_EQ(Catalog(dir), "[\"" + good.id + "\",\"" + damaged + "\",\"\xEF\xBF\xBD.snap\"]");
  EXPECT_EQ(Outcome(Verify(dir.path(), "d.snap")),
            "snapshot_corrupt: snapshot is not a regular file");
  EXPECT_EQ(Outcome(DeleteAll(dir.path())), "ok");
  EXPECT_EQ(platform::ListDir(dir.path()).value(), std::vector<std::string>{});  // nothing followed
}

// Listing from the manifests alone skips reading the states: a damaged state
// is listed, in its place, and only the restore's own read drops it.
TEST(ListManifests, ListsADamagedStateThatLoadCandidatesThenDrops) {
  TempDir dir;
  const SnapshotInfo older = PublishSample(dir, 1, 1);
  const SnapshotInfo newer = PublishSample(dir, 2, 1);
  const std::string newer_path = SnapshotDir(dir.path()) + "/" + newer.id;
  const std::string bytes = platform::ReadFile(newer_path).value();
  ASSERT_TRUE(platform::OpenForReadWrite(newer_path).value().WriteAt(bytes.size() - 1, "X").ok());
  const std::vector<SnapshotInfo> listed = ListManifests(dir.path(), kFingerprint).value();
  EXPECT_EQ(Ids(listed), (std::vector<std::string>{newer.id, older.id}));
  EXPECT_EQ(Ids(List(dir.path(), kFingerprint).value()), std::vector<std::string>{older.id});
  RestoreIdentity identity = PartitionIdentity();
  identity.partition.reset();
  const std::vector<SnapshotCandidate> offered = LoadCandidates(dir.path(), listed, identity).value();
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(offered[0].info, older);
}

// Every row is a snapshot with a valid checksum; those with one field that
// does not match the identity are never offered.
TEST(LoadCandidates, OffersOnlySnapshotsOfTheSameProjectionAndHistory) {
  using Change = std::function<void(SnapshotManifest&, RestoreIdentity&)>;
  const struct {
    const char* name;
    Change change;
    bool offered;
  } cases[] = {
      {"matching", [](auto&, auto&) {}, true},
      {"at the highest position", [](auto& m, auto&) { m.cursor.position = 10; }, true},
      {"unpartitioned, scheme not examined",
       [](auto& m, auto& i) {
         m.partition.reset();
         m.partition_count = 9;
         i.partition.reset();
       },
       true},
      {"format version 3", [](auto& m, auto&) { m.format_version = 3; }, false},
      {"database id", [](auto& m, auto&) { m.database_id = m.cursor.database_id = {}; }, false},
      {"projection name", [](auto& m, auto&) { m.projection_name = "w"; }, false},
      {"descriptor fingerprint",
       [](auto& m, auto&) { m.descriptor_fingerprint = m.cursor.descriptor_fingerprint = {}; },
       false},
      {"definition id", [](auto& m, auto&) { m.definition_id = {}; }, false},
      {"definition version", [](auto& m, auto&) { m.definition_version = 2; }, false},
      {"branch id", [](auto& m, auto&) { m.branch_id = m.cursor.branch_id = {}; }, false},
      {"lineage, the branch re-forked", [](auto& m, auto&) { m.branch_lineage_fingerprint = {}; },
       false},
      {"cursor database", [](auto& m, auto&) { m.cursor.database_id = {}; }, false},
      {"cursor branch", [](auto& m, auto&) { m.cursor.branch_id = {}; }, false},
      {"cursor fingerprint", [](auto& m, auto&) { m.cursor.descriptor_fingerprint = {}; }, false},
      {"above the durable head", [](auto& m, auto&) { m.cursor.position = 11; }, false},
      {"state codec", [](auto& m, auto&) { m.state_codec = 2; }, false},
      {"state codec version", [](auto& m, auto&) { m.state_codec_version = 2; }, false},
      {"another partition", [](auto& m, auto&) { m.partition = 2; }, false},
      {"no partition", [](auto& m, auto&) { m.partition.reset(); }, false},
      {"partition of an unpartitioned projection", [](auto&, auto& i) { i.partition.reset(); },
       false},
      {"scheme id", [](auto& m, auto&) { m.partition_scheme_id = "x"; }, false},
      {"scheme version", [](auto& m, auto&) { m.partition_scheme_version = 2; }, false},
      {"partition count", [](auto& m, auto&) { m.partition_count = 8; }, false},
      {"no partition count", [](auto& m, auto&) { m.partition_count.reset(); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    SnapshotManifest manifest = SampleManifest(5, 1, 1);
    RestoreIdentity identity = PartitionIdentity();
    c.change(manifest, identity);
    const SnapshotInfo info = Publish(dir.path(), manifest, "state").value();
    const std::vector<SnapshotCandidate> offered =
        LoadCandidates(dir.path(), Scan(dir.path()).value(), identity).value();
    ASSERT_EQ(offered.size(), c.offered ? 1u : 0u);
    if (c.offered) {
      EXPECT_EQ(offered[0].info, info);
      EXPECT_EQ(offered[0].state, "state");
    }
  }
}

bool CatalogReads(const TempDir& dir) {
  const std::string path = SnapshotDir(dir.path()) + "/catalog.json";
  if (!PathExists(path)) return true;
  const auto parsed = util::json::Parse(platform::ReadFile(path).value());
  return parsed.ok() && parsed->is_array();
}

// After a failed call, every ".snap" file decodes, no temporary snapshot stays,
// and the next publish succeeds and prunes as usual.
void ExpectRecoverable(const TempDir& dir, const SnapshotResult<SnapshotInfo>& result,
                       const std::string& attempted) {
  for (const std::string& name : DirNames(dir)) {
    EXPECT_FALSE(name.ends_with(".snap.tmp")) << name;
    if (name.ends_with(".snap")) {
      EXPECT_EQ(Outcome(Verify(dir.path(), name)), "ok") << name;
    }
  }
  if (result.ok()) {
    EXPECT_EQ(result->id, attempted);
  }
  EXPECT_TRUE(CatalogReads(dir));
  const SnapshotInfo next = PublishSample(dir, 4, 1);
  EXPECT_EQ(Ids(List(dir.path(), kFingerprint).value()).front(), next.id);
  EXPECT_EQ(List(dir.path(), kFingerprint).value().size(), 2u);
}

TEST(PublishFaults, EveryFailedCallLeavesADirectoryThatWorks) {
  const Op ops[] = {Op::kOpen,   Op::kRead,   Op::kWrite,     Op::kSync,    Op::kClose,
                    Op::kRename, Op::kRemove, Op::kCreateDir, Op::kListDir, Op::kSyncDir};
  // Two snapshots exist, so publishing a third prunes the oldest.
  auto prepare = [](const TempDir& dir) {
    PublishSample(dir, 1, 1);
    PublishSample(dir, 2, 1);
  };
  const SnapshotManifest third = SampleManifest(3, 1);
  for (const Op op : ops) {
    uint64_t calls;
    {
      TempDir dir;
      prepare(dir);
      CallCounter counter(op);
      ASSERT_EQ(Outcome(Publish(dir.path(), third, "state")), "ok");
      calls = counter.count();
    }
    EXPECT_GT(calls, 0u) << static_cast<int>(op);
    for (uint64_t nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(testing::Message() << "op " << static_cast<int>(op) << ", call " << nth);
      TempDir dir;
      prepare(dir);
      SnapshotResult<SnapshotInfo> result = SnapshotError::Internal("not run");
      {
        ScopedFault fault(op, nth, Fault::Error(EIO));
        result = Publish(dir.path(), third, "state");
        EXPECT_EQ(fault.hits(), 1u);
      }
      ExpectRecoverable(dir, result, third.FileName());
    }
  }
}

}  // namespace
}  // namespace corvantine::snapshot
