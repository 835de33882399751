// Damaged files of a closed database: one flipped bit at a time in every
// file, and every torn tail of the active segment. An open either fails with
// an error that says the data is damaged, or shows exactly what was written:
// the same head and floor, catalogs and system records, and every branch
// read back record for record (with a damaged segment, a read may fail with
// such an error instead). Sidecars and the core catalog checkpoint are
// derived from the log: damage to them always opens with everything there.
// A segment loses bytes only to a torn tail: damage to the last unit of the
// active segment may be cut off like one, damage anywhere else must not.
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "db/checkpoint.h"
#include "db/db.h"
#include "db/test_util.h"
#include "log/log.h"
#include "log/manifest.h"
#include "platform/platform.h"
#include "retention/retention.h"
#include "testing/test_util.h"
#include "util/coding.h"

namespace corvantine::db {
namespace {

using namespace testing;

// Small enough that the first part of the script closes a segment, with its
// sidecar, every few batches.
constexpr uint64_t kSmallSegmentBytes = 6000;
constexpr uint32_t kSeed = 20240611;
// Bytes damaged at random in a segment, besides its frame headers.
constexpr int kSampledSegmentBytes = 32;
// Of several files of one kind, all but the first and the last are damaged
// at this many random bytes only.
constexpr int kSampledBytesOfOthers = 16;
// Other files up to this size are damaged at every byte; larger ones at
// both ends and at a sample between.
constexpr size_t kWholeFileBytes = 1024;
constexpr uint64_t kFileEndBytes = 64;
constexpr int kSampledFileBytes = 128;

// The warning that a torn tail was cut off.
constexpr std::string_view kTruncating = "corvantine: truncating ";

// Every case rewrites and flushes files: on a memory file system, where the
// system has one, the flushes cost nothing.
std::string_view ScratchParent() { return platform::IsDirectory("/dev/shm") ? "/dev/shm" : ""; }

// Everything an open database shows of what was written.
struct View {
  uint64_t head = 0;
  uint64_t floor = 0;
  stream::StreamCatalog streams;
  branch::BranchCatalog branches;
  std::vector<retention::AnchoredSystemRecord> system_records;
  // What each branch reads from the floor, branches in id order.
  std::vector<std::vector<format::OwnedStoredRecord>> reads;
};

Result<std::vector<format::OwnedStoredRecord>> ReadBranch(const Corvantine& db,
                                                          const format::BranchId& branch) {
  ReadRequest request;
  request.branch_id = branch;
  request.start = StartBound::Included(LogOf(db).retention_floor());
  request.verify_batch_digest = true;
  CVN_ASSIGN_OR_RETURN(log::reader::LogReader reader, db.Read(request));
  std::vector<format::OwnedStoredRecord> records;
  for (;;) {
    CVN_ASSIGN_OR_RETURN(std::optional<format::OwnedStoredRecord> next, reader.NextOwned());
    if (!next) return records;
    records.push_back(std::move(*next));
  }
}

Result<View> ViewOf(const Corvantine& db) {
  View view{LogOf(db).head(), LogOf(db).retention_floor(), db.stream_catalog(),
            db.branch_catalog(), {}, {}};
  CVN_ASSIGN_OR_RETURN(view.system_records, db.SystemMetadata());
  for (const auto& [id, info] : db.branch_catalog().branches()) {
    CVN_ASSIGN_OR_RETURN(std::vector<format::OwnedStoredRecord> records, ReadBranch(db, id));
    view.reads.push_back(std::move(records));
  }
  return view;
}

// Empty when `seen` is `written`, else the first thing that differs.
std::string Difference(const View& seen, const View& written) {
  if (seen.head != written.head) return fmt::format("head {} not {}", seen.head, written.head);
  if (seen.floor != written.floor) return fmt::format("floor {} not {}", seen.floor, written.floor);
  if (!SameIgnoringDurability(seen.streams, written.streams)) return "other stream catalog";
  if (seen.branches != written.branches) return "other branch catalog";
  if (seen.system_records != written.system_records) return "other system records";
  if (seen.reads != written.reads) return "other records read";
  return "";
}

// Every file under a directory, by path relative to it, with its bytes.
using Files = std::map<std::string, std::string>;

Files ReadFiles(const std::string& dir) {
  Files files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string path = entry.path().string();
    files[path.substr(dir.size() + 1)] = platform::ReadFile(path).value();
  }
  return files;
}

// Makes the files under `dir`, which are `now`, `wanted` again.
void Restore(const std::string& dir, const Files& now, const Files& wanted) {
  for (const auto& [name, bytes] : now) {
    if (!wanted.contains(name)) {
      ASSERT_TRUE(platform::RemoveFile(platform::JoinPath(dir, name)).ok());
    }
  }
  for (const auto& [name, bytes] : wanted) {
    auto current = now.find(name);
    if (current == now.end() || current->second != bytes) {
      WriteFile(platform::JoinPath(dir, name), bytes);
    }
  }
}

// One step of the script that writes the database, and what it then showed.
struct Mark {
  uint64_t active_base = 0;
  uint64_t active_length = 0;  // bytes in the active segment
  View view;
};

struct WrittenDatabase {
  std::vector<Mark> marks;  // one per step, in order
  Files files;              // every file once the database is closed

  const View& whole() const { return marks.back().view; }
  std::string active() const {
    return platform::JoinPath(log::kLogDirName,
                              log::segment::SegmentFileName(marks.back().active_base));
  }
  // The last step whose writes all lie in the first `length` bytes of the
  // active segment; a step before the segment counts as ending at byte 0.
  std::pair<uint64_t, const View*> ShownUpTo(uint64_t length) const {
    const uint64_t base = marks.back().active_base;
    for (auto mark = marks.rbegin(); mark != marks.rend(); ++mark) {
      if (mark->active_base < base) return {0, &mark->view};
      if (mark->active_length <= length) return {mark->active_length, &mark->view};
    }
    return {0, &marks.front().view};
  }
};

const char* const kStreams[] = {"orders", "users", "audit"};

// Batch `n`: 1 to 3 events on one of three streams, some with metadata,
// caller-given event ids or an idempotency key, every sixth synced.
stream::AppendRequest BatchRequest(int n, const format::BranchId& branch) {
  RequestDraft draft;
  draft.stream = kStreams[n % 3];
  draft.branch = branch;
  for (int i = 0; i <= n % 3; ++i) {
    format::Metadata metadata;
    if ((n + i) % 2 == 0) metadata["tenant"] = fmt::format("t{}", n % 5);
    std::optional<format::EventId> id;
    if (n % 5 == 0) id = EventIdOf(static_cast<uint8_t>(n * 3 + i));
    draft.events.push_back(
        Event(fmt::format("{{\"batch\":{},\"event\":{}}}", n, i), id, std::move(metadata)));
  }
  if (n % 4 == 1) draft.key = fmt::format("key-{}", n);
  draft.durability = n % 6 == 5 ? stream::RequestDurability::kSync : stream::RequestDurability::kBuffered;
  return Request(std::move(draft));
}

// Moves the floor of `db` to the segment base at or below half its head,
// behind an anchor of everything it holds, and reclaims the segments below.
void Retain(Corvantine& db) {
  ASSERT_TRUE(db.Commit().ok());
  const uint64_t floor = LogOf(db).RetentionBoundaryFor(db.durable_head() / 2).effective_floor;
  ASSERT_GT(floor, 0u);
  Result<retention::RetentionAnchorInfo> anchor =
      retention::Publish(db.directory(), AnchorOf(db, floor), std::nullopt);
  ASSERT_TRUE(anchor.ok());
  ASSERT_TRUE(LogOf(db).ActivateRetention(floor, anchor->checksum).ok());
  LogOf(db).ReclaimBelowRetentionFloor();
}

// The database the suite damages:
//  - 40 batches in small segments, "side" forked at batch 8 and written to
//    now and then, "old" forked from it and archived at batch 14;
//  - when `retained`, after batch 24 an anchor, the floor moved to a segment
//    base and the segments below it reclaimed;
//  - reopened with the default segment size, 9 more batches and the fork of
//    "late", all in the active segment; the last batch is left uncommitted
//    when `retained`, so that its checkpoint is behind the log.
void WriteDatabase(const std::string& dir, bool retained, WrittenDatabase* written) {
  std::unique_ptr<Corvantine> db = OpenDb(dir, {}, kSmallSegmentBytes);
  auto mark = [&] {
    const log::segment::Segment& active = LogOf(*db).active_segment();
    written->marks.push_back({active.base(), active.byte_length(), ViewOf(*db).value()});
  };
  auto append = [&](int n, const format::BranchId& branch) {
    ASSERT_TRUE(db->AppendBatchWithId(BatchRequest(n, branch), std::nullopt).ok());
    mark();
  };
  auto fork = [&](const format::BranchId& parent, const char* name) {
    const format::BranchId id =
        db->ForkBranch(parent, LogOf(*db).head(), name, {{"name", name}}).value().id;
    mark();
    return id;
  };
  mark();
  format::BranchId side;
  for (int n = 0; n < 40; ++n) {
    if (n == 8) side = fork({}, "side");
    if (n == 14) {
      ASSERT_TRUE(db->ArchiveBranch(fork(side, "old")).ok());
      mark();
    }
    append(n, n > 8 && n % 4 == 3 ? side : format::BranchId());
    if (n == 24 && retained) {
      Retain(*db);
      db.reset();
      db = OpenDb(dir, {}, kSmallSegmentBytes);  // takes the anchor up
      mark();
    }
  }
  db.reset();
  db = OpenDb(dir);
  mark();
  for (int n = 40; n < 49; ++n) {
    if (n == 44) fork({}, "late");
    append(n, format::BranchId());
  }
  if (!retained) {
    ASSERT_TRUE(db->Commit().ok());
  }
  db.reset();
  written->files = ReadFiles(dir);
}

// What a file is to the database, which decides what damage to it may do.
enum class Role { kClosedSegment, kActiveSegment, kSidecar, kManifest, kCheckpoint, kAnchor };

std::string_view RoleName(Role role) {
  switch (role) {
    case Role::kClosedSegment: return "closed segment";
    case Role::kActiveSegment: return "active segment";
    case Role::kSidecar: return "sidecar";
    case Role::kManifest: return "manifest";
    case Role::kCheckpoint: return "checkpoint";
    case Role::kAnchor: return "anchor";
  }
  return "";
}

Role RoleOf(const WrittenDatabase& written, const std::string& name) {
  if (name == written.active()) return Role::kActiveSegment;
  if (name.ends_with(".seg")) return Role::kClosedSegment;
  if (name.ends_with(".sidx")) return Role::kSidecar;
  if (name == log::manifest::kFileName) return Role::kManifest;
  if (name == kCoreCatalogFileName) return Role::kCheckpoint;
  return Role::kAnchor;
}

bool IsSegment(Role role) { return role == Role::kClosedSegment || role == Role::kActiveSegment; }
bool IsDerived(Role role) { return role == Role::kSidecar || role == Role::kCheckpoint; }

// The errors that say a file is damaged.
bool SaysDamaged(const CorvantineError& error) {
  switch (error.kind()) {
    case error::Kind::kCorrupt:
    case error::Kind::kManifest:
    case error::Kind::kUnsupportedPayloadFormat:
    case error::Kind::kUnsupportedStorageFormat:
    case error::Kind::kInvalidFormat:
    case error::Kind::kCodec:
    case error::Kind::kResourceLimit:
      return true;
    default:
      return false;
  }
}

// Where each frame of a segment begins.
std::vector<uint64_t> FrameStarts(std::string_view segment) {
  std::vector<uint64_t> starts;
  for (uint64_t at = 0; at + format::kFrameHeaderBytes <= segment.size();) {
    starts.push_back(at);
    at += format::kFrameHeaderBytes + util::DecodeFixed32(segment.data() + at + 8) +
          util::DecodeFixed32(segment.data() + at + 12);
  }
  return starts;
}

// Where a segment is damaged: one byte in each quarter of every frame
// header, every header byte of the frames from `dense_from` on, and a sample.
std::set<uint64_t> SegmentOffsets(std::string_view bytes, uint64_t dense_from, std::mt19937& rng) {
  std::set<uint64_t> offsets;
  std::uniform_int_distribution<uint64_t> in_quarter(0, format::kFrameHeaderBytes / 4 - 1);
  for (uint64_t start : FrameStarts(bytes)) {
    for (uint64_t quarter = 0; quarter < format::kFrameHeaderBytes; quarter += 8) {
      offsets.insert(start + quarter + in_quarter(rng));
    }
    for (uint64_t i = 0; start >= dense_from && i < format::kFrameHeaderBytes; ++i) {
      offsets.insert(start + i);
    }
  }
  std::uniform_int_distribution<uint64_t> anywhere(0, bytes.size() - 1);
  for (int i = 0; i < kSampledSegmentBytes; ++i) offsets.insert(anywhere(rng));
  return offsets;
}

// Where another file is damaged: every byte of a small one; both ends of a
// larger one, and a sample between them.
std::set<uint64_t> FileOffsets(std::string_view bytes, std::mt19937& rng) {
  std::set<uint64_t> offsets;
  const uint64_t ends = bytes.size() <= kWholeFileBytes ? bytes.size() : kFileEndBytes;
  for (uint64_t i = 0; i < ends; ++i) offsets.insert({i, bytes.size() - 1 - i});
  std::uniform_int_distribution<uint64_t> anywhere(0, bytes.size() - 1);
  for (int i = 0; ends < bytes.size() && i < kSampledFileBytes; ++i) offsets.insert(anywhere(rng));
  return offsets;
}

std::set<uint64_t> SampledOffsets(std::string_view bytes, std::mt19937& rng) {
  std::set<uint64_t> offsets;
  std::uniform_int_distribution<uint64_t> anywhere(0, bytes.size() - 1);
  for (int i = 0; i < kSampledBytesOfOthers; ++i) offsets.insert(anywhere(rng));
  return offsets;
}

// One way an open may turn out: showing `view`, with the active segment cut
// back to its first `active_length` bytes.
struct Outcome {
  const View* view;
  uint64_t active_length;
};

// What an open of a damaged directory may do besides showing an outcome.
struct Allowed {
  std::vector<Outcome> outcomes;
  bool open_failure = false;  // with an error that says the data is damaged
  bool read_failure = false;  // the same, from a read after the open succeeded
};

struct Finding {
  std::string kind;  // groups findings of one cause
  std::string detail;
};

// Everything that went wrong, grouped by kind with a few examples of each.
class Findings {
 public:
  void Add(std::string_view where, std::optional<Finding> finding) {
    if (!finding) return;
    Group& group = groups_[finding->kind];
    if (++group.count <= 3) group.examples.push_back(fmt::format("{}: {}", where, finding->detail));
  }
  bool empty() const { return groups_.empty(); }
  std::string Summary() const {
    std::string text;
    for (const auto& [kind, group] : groups_) {
      text += fmt::format("{} x {}\n", group.count, kind);
      for (const std::string& example : group.examples) text += "    " + example + "\n";
    }
    return text;
  }

 private:
  struct Group {
    int count = 0;
    std::vector<std::string> examples;
  };
  std::map<std::string, Group> groups_;
};

// Opens `dir`, whose files are `damaged`, reads everything, closes it, and
// says what is wrong with what happened, if anything: a failure that is not
// allowed or does not say the data is damaged, an outcome not allowed, or a
// file other than a derived one changed (but for an allowed cut of the
// active segment, which must come with a warning). `after` receives the
// files as the open left them.
std::optional<Finding> Judge(const std::string& dir, const WrittenDatabase& written,
                             std::string_view role, const Files& damaged, const Allowed& allowed,
                             Files* after) {
  bool opened = false;
  ::testing::internal::CaptureStderr();
  const Result<View> seen = [&]() -> Result<View> {
    CVN_ASSIGN_OR_RETURN(std::unique_ptr<Corvantine> db,
                         Corvantine::OpenInternal(dir, {}, std::nullopt));
    opened = true;
    return ViewOf(*db);
  }();
  const std::string warnings = ::testing::internal::GetCapturedStderr();
  *after = ReadFiles(dir);
  const std::string active = written.active();
  uint64_t active_length = damaged.at(active).size();
  if (!seen.ok()) {
    const std::string_view stage = opened ? "read" : "open";
    const std::string error = seen.error().ToString();
    if (!(opened ? allowed.read_failure : allowed.open_failure)) {
      return Finding{fmt::format("{}: {} fails", role, stage), error};
    }
    if (!SaysDamaged(seen.error())) {
      return Finding{fmt::format("{}: {} fails with an unclear error", role, stage), error};
    }
  } else {
    std::string difference = Difference(*seen, written.whole());
    for (const Outcome& outcome : allowed.outcomes) {
      if (Difference(*seen, *outcome.view).empty()) {
        difference.clear();
        active_length = outcome.active_length;
      }
    }
    if (!difference.empty()) {
      const bool cut = warnings.find(kTruncating) != std::string::npos;
      return Finding{
          fmt::format("{}: opens showing less{}", role, cut ? ", cut as a torn tail" : ""),
          difference};
    }
  }
  for (const auto& [name, bytes] : damaged) {
    const Role file_role = RoleOf(written, name);
    if (IsDerived(file_role)) continue;
    const std::string expected = name == active ? bytes.substr(0, active_length) : bytes;
    if (!after->contains(name) || after->at(name) != expected) {
      return Finding{fmt::format("{}: open changes the {}", role, RoleName(file_role)), name};
    }
  }
  if (active_length < damaged.at(active).size() &&
      warnings.find(kTruncating) == std::string::npos) {
    return Finding{fmt::format("{}: a cut without a warning", role), warnings};
  }
  return std::nullopt;
}

// Puts `damaged` in place of the written files, judges an open, and puts the
// written files back.
std::optional<Finding> JudgeDamage(const std::string& dir, const WrittenDatabase& written,
                                   std::string_view role, const Files& damaged,
                                   const Allowed& allowed) {
  Restore(dir, written.files, damaged);
  Files after;
  std::optional<Finding> finding = Judge(dir, written, role, damaged, allowed, &after);
  Restore(dir, after, written.files);
  return finding;
}

struct Flip {
  uint64_t offset = 0;
  int bit = 0;
};

// A bit chosen at random at each offset; at a digit of the manifest, every
// bit: a digit can turn into another digit, which still reads as JSON.
std::vector<Flip> FlipsAt(const std::set<uint64_t>& offsets, std::string_view bytes, Role role,
                          std::mt19937& rng) {
  std::vector<Flip> flips;
  for (uint64_t offset : offsets) {
    if (role == Role::kManifest && std::isdigit(static_cast<unsigned char>(bytes[offset]))) {
      for (int bit = 0; bit < 8; ++bit) flips.push_back({offset, bit});
    } else {
      flips.push_back({offset, static_cast<int>(rng() % 8)});
    }
  }
  return flips;
}

// Where to damage a file: see SegmentOffsets, FileOffsets and
// SampledOffsets. In the active segment, every header byte of its last two
// units. Each file draws from its own generator, so that its plan does not
// depend on the other files.
std::vector<Flip> FlipsOf(const WrittenDatabase& written, const std::string& name, bool sampled) {
  std::seed_seq seed{kSeed, static_cast<uint32_t>(std::hash<std::string>()(name))};
  std::mt19937 rng(seed);
  const std::string& bytes = written.files.at(name);
  const Role role = RoleOf(written, name);
  std::set<uint64_t> offsets;
  if (sampled) {
    offsets = SampledOffsets(bytes, rng);
  } else if (role == Role::kActiveSegment) {
    const uint64_t before_last = written.ShownUpTo(bytes.size() - 1).first;
    offsets = SegmentOffsets(bytes, written.ShownUpTo(before_last - 1).first, rng);
  } else if (role == Role::kClosedSegment) {
    offsets = SegmentOffsets(bytes, bytes.size(), rng);
  } else {
    offsets = FileOffsets(bytes, rng);
  }
  return FlipsAt(offsets, bytes, role, rng);
}

// The flips of every file; of several files of one kind, all but the first
// and the last are only sampled.
std::map<std::string, std::vector<Flip>> DamagePlan(const WrittenDatabase& written) {
  std::map<Role, std::pair<std::string, std::string>> first_and_last;
  for (const auto& [name, bytes] : written.files) {
    auto [it, fresh] = first_and_last.try_emplace(RoleOf(written, name), name, name);
    it->second.second = name;
  }
  std::map<std::string, std::vector<Flip>> plan;
  for (const auto& [name, bytes] : written.files) {
    const auto& [first, last] = first_and_last.at(RoleOf(written, name));
    plan[name] = FlipsOf(written, name, name != first && name != last);
  }
  return plan;
}

// What an open may do with a damaged file: fail, unless the file is derived;
// fail on reading, when a segment is damaged; cut the last unit of the
// active segment when it is damaged, as a torn tail.
Allowed AllowedFor(const WrittenDatabase& written, Role role) {
  Allowed allowed;
  allowed.open_failure = !IsDerived(role);
  allowed.read_failure = IsSegment(role);
  if (role == Role::kActiveSegment) {
    const auto [end, view] = written.ShownUpTo(written.files.at(written.active()).size() - 1);
    allowed.outcomes = {{view, end}};
  }
  return allowed;
}

// Writes the database, checks that it opens undamaged, then flips one bit
// at a time at every offset of the plan and judges each open.
void CheckEveryFlip(bool retained) {
  TempDir dir(ScratchParent());
  WrittenDatabase written;
  WriteDatabase(dir.path(), retained, &written);
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  Findings findings;
  findings.Add("undamaged", JudgeDamage(dir.path(), written, "undamaged", written.files, {}));
  std::map<std::string_view, int> flips;
  for (const auto& [name, file_flips] : DamagePlan(written)) {
    const Role role = RoleOf(written, name);
    const Allowed allowed = AllowedFor(written, role);
    for (const Flip& flip : file_flips) {
      Files damaged = written.files;
      damaged[name][flip.offset] ^= static_cast<char>(1 << flip.bit);
      findings.Add(fmt::format("{} byte {} bit {}", name, flip.offset, flip.bit),
                   JudgeDamage(dir.path(), written, RoleName(role), damaged, allowed));
      ++flips[RoleName(role)];
    }
  }
  EXPECT_TRUE(findings.empty()) << findings.Summary();
  EXPECT_EQ(flips.size(), retained ? 6u : 5u) << "a kind of file is missing";
}

TEST(BitFlipTest, EveryFlippedBitInARetainedDatabaseFailsTheOpenOrLosesNothing) {
  CheckEveryFlip(/*retained=*/true);
}

TEST(BitFlipTest, EveryFlippedBitInADatabaseWithoutRetentionFailsTheOpenOrLosesNothing) {
  CheckEveryFlip(/*retained=*/false);
}

// Cuts the active segment at every frame boundary and at four offsets inside
// each frame: the open keeps exactly the units before the cut.
TEST(TornTailTest, EveryCutOfTheActiveSegmentOpensWithTheUnitsBeforeIt) {
  for (const bool retained : {true, false}) {
    TempDir dir(ScratchParent());
    WrittenDatabase written;
    WriteDatabase(dir.path(), retained, &written);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    const std::string active = written.active();
    const std::string& bytes = written.files.at(active);
    std::set<uint64_t> cuts = {bytes.size()};
    for (uint64_t start : FrameStarts(bytes)) {
      const uint64_t envelope = util::DecodeFixed32(bytes.data() + start + 8);
      cuts.insert({start, start + 1, start + format::kFrameHeaderBytes - 1,
                   start + format::kFrameHeaderBytes + envelope / 2,
                   start + format::kFrameHeaderBytes + envelope});
    }
    Findings findings;
    for (uint64_t cut : cuts) {
      Files damaged = written.files;
      damaged[active].resize(cut);
      const auto [end, view] = written.ShownUpTo(cut);
      const Allowed allowed{{{view, end}}, false, false};
      findings.Add(fmt::format("{} cut at {}", active, cut),
                   JudgeDamage(dir.path(), written, "cut", damaged, allowed));
    }
    EXPECT_TRUE(findings.empty()) << (retained ? "retained\n" : "without retention\n")
                                  << findings.Summary();
  }
}

// The last batch lost to damage (cut off as a torn tail), new batches
// written over it, and a crash that brings back the checkpoint from before
// the cut (its rename is never flushed): the reopened database follows the
// log, not that checkpoint, whether the new batches end at its head or
// beyond it.
TEST(TornTailTest, ACheckpointFromBeforeACutNeverOutlivesTheBatchesWrittenOverIt) {
  const std::vector<int> rewrites[] = {{5}, {5, 6}};  // 3 events; then 1 more
  for (const std::vector<int>& rewrite : rewrites) {
    TempDir dir(ScratchParent());
    auto db = OpenDb(dir.path());
    uint64_t cut = 0;
    for (int n = 0; n < 3; ++n) {  // the last batch holds 3 events
      cut = LogOf(*db).active_segment().byte_length();
      ASSERT_TRUE(db->AppendBatchWithId(BatchRequest(n, {}), std::nullopt).ok());
    }
    ASSERT_TRUE(db->Commit().ok());
    db.reset();
    const std::string checkpoint = platform::JoinPath(dir.path(), kCoreCatalogFileName);
    const std::string stale = platform::ReadFile(checkpoint).value();
    const std::string active = platform::JoinPath(
        dir.path(), platform::JoinPath(log::kLogDirName, log::segment::SegmentFileName(0)));
    WriteFile(active, platform::ReadFile(active).value().substr(0, cut));

    db = OpenDb(dir.path());
    for (int n : rewrite) {
      ASSERT_TRUE(db->AppendBatchWithId(BatchRequest(n, {}), std::nullopt).ok());
    }
    ASSERT_TRUE(db->Commit().ok());
    const View written = ViewOf(*db).value();
    db.reset();
    WriteFile(checkpoint, stale);

    db = OpenDb(dir.path());
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Difference(ViewOf(*db).value(), written), "") << rewrite.size() << " batches";
  }
}

}  // namespace
}  // namespace corvantine::db
