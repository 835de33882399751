#include "error/error.h"

#include <cerrno>
#include <tuple>

#include <gtest/gtest.h>

namespace corvantine::error {
namespace {

TEST(ErrorDisplay, EveryKindDisplaysItsFixedText) {
  struct Case {
    CorvantineError error;
    Kind kind;
    const char* text;
  };
  const Case cases[] = {
      {CorvantineError::InvalidArgument("append batch must contain at least one event"),
       Kind::kInvalidArgument, "invalid argument: append batch must contain at least one event"},
      {CorvantineError::IoFromErrno(ENOENT), Kind::kIo,
       "io: No such file or directory (os error 2)"},
      {CorvantineError::Io(IoError::WriteZero()), Kind::kIo, "io: failed to write whole buffer"},
      {CorvantineError::Io(IoError::UnexpectedEof()), Kind::kIo, "io: failed to fill whole buffer"},
      {CorvantineError::Corrupt(42, "position 42 breaks expected sequence 41"), Kind::kCorrupt,
       "corrupt record at offset 42: position 42 breaks expected sequence 41"},
      {CorvantineError::OffsetBeyondHead(9), Kind::kOffsetBeyondHead, "offset 9 beyond head"},
      {CorvantineError::PositionUnavailable(3, 10, 20), Kind::kPositionUnavailable,
       "position 3 is unavailable: retained history starts at 10, head is 20"},
      {CorvantineError::Manifest("x"), Kind::kManifest, "manifest error: x"},
      {CorvantineError::UnsupportedPayloadFormat(2, 1), Kind::kUnsupportedPayloadFormat,
       "unsupported payload format version 2: this build supports 1. The data dir was written "
       "by a newer CorvantineDB; upgrade to read it."},
      {CorvantineError::UnsupportedStorageFormat(3, 2), Kind::kUnsupportedStorageFormat,
       "unsupported storage format version 3: this build writes version 2; migrate the source "
       "directory offline"},
      {CorvantineError::InvalidSegmentFileName("a.seg"), Kind::kInvalidSegmentFileName,
       "invalid segment file name: a.seg"},
      {CorvantineError::NamespaceExists("orders"), Kind::kNamespaceExists,
       "namespace orders already exists"},
      {CorvantineError::Locked("/d/LOCK exists"), Kind::kLocked,
       "data dir is locked by another process: /d/LOCK exists"},
      {CorvantineError::Serialization("s"), Kind::kSerialization, "serialization error: s"},
      {CorvantineError::InvalidFormat("f"), Kind::kInvalidFormat, "invalid format: f"},
      {CorvantineError::Codec("c"), Kind::kCodec, "codec error: c"},
      {CorvantineError::ResourceLimit("stream name bytes", 1025, 1024), Kind::kResourceLimit,
       "resource limit exceeded: stream name bytes is 1025, maximum is 1024"},
      {CorvantineError::Migration("m"), Kind::kMigration, "migration error: m"},
      {CorvantineError::MigrationIncomplete("/d"), Kind::kMigrationIncomplete,
       "migration is incomplete for /d; resume it with the migration command"},
      {CorvantineError::RevisionConflict("Exact(StreamRevision(7))", "Some(StreamRevision(6))"),
       Kind::kRevisionConflict,
       "stream revision conflict: expected Exact(StreamRevision(7)), actual "
       "Some(StreamRevision(6))"},
      {CorvantineError::EventIdConflict(), Kind::kEventIdConflict,
       "event ID already exists with different content"},
      {CorvantineError::IdempotencyConflict(), Kind::kIdempotencyConflict,
       "idempotency key already exists with different content"},
      {CorvantineError::BatchIdConflict(), Kind::kBatchIdConflict,
       "batch ID already exists with different content"},
      {CorvantineError::BranchNotFound("00"), Kind::kBranchNotFound, "branch not found: 00"},
      {CorvantineError::BranchExists("dev"), Kind::kBranchExists, "branch already exists: dev"},
      {CorvantineError::BranchArchived("dev"), Kind::kBranchArchived, "branch is archived: dev"},
      {CorvantineError::InvalidBranchAncestry("cycle"), Kind::kInvalidBranchAncestry,
       "invalid branch ancestry: cycle"},
      {CorvantineError::NotBatchBoundary(5), Kind::kNotBatchBoundary,
       "position 5 is not a committed batch boundary"},
  };
  bool seen[kKindCount] = {};
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.ToString(), c.text);
    seen[c.error.kind_index()] = true;
  }
  for (int i = 0; i < kKindCount; ++i) EXPECT_TRUE(seen[i]) << "kind " << i << " untested";
}

TEST(ErrorDisplay, DataFreeConflictsHaveExactLengths) {
  EXPECT_EQ(CorvantineError::EventIdConflict().ToString().size(), 46u);
  EXPECT_EQ(CorvantineError::IdempotencyConflict().ToString().size(), 53u);
  EXPECT_EQ(CorvantineError::BatchIdConflict().ToString().size(), 46u);
}

TEST(ErrorFields, EachKindReadsBackItsOwnFieldsAndNoOther) {
  const CorvantineError corrupt = CorvantineError::Corrupt(42, "torn");
  ASSERT_NE(corrupt.As<Corrupt>(), nullptr);
  EXPECT_EQ(corrupt.As<Corrupt>()->offset, 42u);
  EXPECT_EQ(corrupt.As<Corrupt>()->message, "torn");
  EXPECT_EQ(corrupt.As<InvalidFormat>(), nullptr);

  const CorvantineError unavailable = CorvantineError::PositionUnavailable(3, 10, 20);
  const auto* fields = unavailable.As<PositionUnavailable>();
  ASSERT_NE(fields, nullptr);
  EXPECT_EQ(std::tuple(fields->position, fields->floor, fields->head),
            std::tuple(uint64_t{3}, uint64_t{10}, uint64_t{20}));

  const CorvantineError limit = CorvantineError::ResourceLimit("stream name bytes", 1025, 1024);
  ASSERT_NE(limit.As<ResourceLimit>(), nullptr);
  EXPECT_STREQ(limit.As<ResourceLimit>()->what, "stream name bytes");
  EXPECT_EQ(limit.As<ResourceLimit>()->actual, 1025u);
  EXPECT_EQ(limit.As<ResourceLimit>()->maximum, 1024u);

  const CorvantineError conflict = CorvantineError::RevisionConflict("Any", "None");
  ASSERT_NE(conflict.As<RevisionConflict>(), nullptr);
  EXPECT_EQ(conflict.As<RevisionConflict>()->expected, "Any");
  EXPECT_EQ(conflict.As<RevisionConflict>()->actual, "None");
}

TEST(ErrorFields, OnlyAnIoErrorMatchesAnOsErrorNumber) {
  EXPECT_TRUE(CorvantineError::IoFromErrno(ENOENT).IsOsError(ENOENT));
  EXPECT_FALSE(CorvantineError::IoFromErrno(EEXIST).IsOsError(ENOENT));
  EXPECT_FALSE(CorvantineError::Io(IoError::WriteZero()).IsOsError(ENOENT));
  EXPECT_FALSE(CorvantineError::OffsetBeyondHead(ENOENT).IsOsError(ENOENT));
}

TEST(ErrorFields, DetailIsTheEmbeddableTextOfEveryKind) {
  EXPECT_EQ(CorvantineError::Codec("bad tag").Detail(), "bad tag");
  EXPECT_EQ(CorvantineError::IoFromErrno(ENOENT).Detail(),
            "No such file or directory (os error 2)");
  EXPECT_EQ(CorvantineError::OffsetBeyondHead(3).Detail(), "offset 3 beyond head");
}

TEST(ErrorDisplay, UnknownErrnoStillDisplays) {
  EXPECT_EQ(IoError::FromErrno(4000).ToString(), "Unknown error 4000 (os error 4000)");
}

TEST(ResultTest, CarriesValueOrError) {
  Result<int> good = 7;
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(*good, 7);
  Result<int> bad = CorvantineError::OffsetBeyondHead(1);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), Kind::kOffsetBeyondHead);
  Result<> nothing;
  EXPECT_TRUE(nothing.ok());
}

Result<int> Doubled(Result<int> input) {
  CVN_ASSIGN_OR_RETURN(int value, std::move(input));
  return value * 2;
}

TEST(ResultTest, PropagationMacrosReturnTheError) {
  EXPECT_EQ(*Doubled(4), 8);
  Result<int> failed = Doubled(CorvantineError::Codec("boom"));
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().ToString(), "codec error: boom");
}

}  // namespace
}  // namespace corvantine::error
