#include "facade/engine/error.h"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

namespace corvantine::facade {
namespace {

using error::IoError;

TEST(EngineErrorTest, EveryCoreKindHasItsCodeAndKind) {
  struct Case {
    CorvantineError core;
    const char* code;
    int kind;
    std::string display;
  };
  const Case cases[] = {
      {CorvantineError::InvalidArgument("x"), "invalid_argument", 0,
       "invalid_argument: invalid argument: x"},
      {CorvantineError::Io(IoError::FromErrno(ENOSPC)), "io", 7,
       "io: io: No space left on device (os error 28)"},
      {CorvantineError::Corrupt(7, "bad"), "corruption", 4,
       "corruption: corrupt record at offset 7: bad"},
      {CorvantineError::OffsetBeyondHead(9), "offset_beyond_head", 0,
       "offset_beyond_head: offset 9 beyond head"},
      {CorvantineError::PositionUnavailable(1, 5, 9), "position_unavailable", 0,
       "position_unavailable: position 1 is unavailable: retained history starts at 5, head "
       "is 9"},
      {CorvantineError::Manifest("m"), "corruption", 4, "corruption: manifest error: m"},
      {CorvantineError::UnsupportedPayloadFormat(3, 2), "unsupported_format", 5,
       "unsupported_format: unsupported payload format version 3: this build supports 2. The "
       "data dir was written by a newer CorvantineDB; upgrade to read it."},
      {CorvantineError::UnsupportedStorageFormat(4, 3), "unsupported_format", 5,
       "unsupported_format: unsupported storage format version 4: this build writes version "
       "3; migrate the source directory offline"},
      {CorvantineError::InvalidSegmentFileName("x.seg"), "corruption", 4,
       "corruption: invalid segment file name: x.seg"},
      {CorvantineError::NamespaceExists("s"), "conflict", 1,
       "conflict: namespace s already exists"},
      {CorvantineError::Locked("held"), "locked", 3,
       "locked: data dir is locked by another process: held"},
      {CorvantineError::Serialization("s"), "codec", 6, "codec: serialization error: s"},
      {CorvantineError::InvalidFormat("f"), "corruption", 4, "corruption: invalid format: f"},
      {CorvantineError::Codec("c"), "codec", 6, "codec: codec error: c"},
      {CorvantineError::ResourceLimit("batch event count", 4097, 4096), "resource_limit", 9,
       "resource_limit: resource limit exceeded: batch event count is 4097, maximum is 4096"},
      {CorvantineError::Migration("m"), "migration", 10, "migration: migration error: m"},
      {CorvantineError::MigrationIncomplete("d"), "migration", 10,
       "migration: migration is incomplete for d; resume it with the migration command"},
      {CorvantineError::RevisionConflict("Exact(StreamRevision(1))", "None"), "conflict", 1,
       "conflict: stream revision conflict: expected Exact(StreamRevision(1)), actual None"},
      {CorvantineError::EventIdConflict(), "conflict", 1,
       "conflict: event ID already exists with different content"},
      {CorvantineError::IdempotencyConflict(), "conflict", 1,
       "conflict: idempotency key already exists with different content"},
      {CorvantineError::BatchIdConflict(), "conflict", 1,
       "conflict: batch ID already exists with different content"},
      {CorvantineError::BranchNotFound("ab"), "not_found", 2, "not_found: branch not found: ab"},
      {CorvantineError::BranchExists("b"), "conflict", 1, "conflict: branch already exists: b"},
      {CorvantineError::BranchArchived("b"), "branch_archived", 1,
       "branch_archived: branch is archived: b"},
      {CorvantineError::InvalidBranchAncestry("lineage depth exceeded"), "corruption", 4,
       "corruption: invalid branch ancestry: lineage depth exceeded"},
      {CorvantineError::NotBatchBoundary(3), "invalid_argument", 0,
       "invalid_argument: position 3 is not a committed batch boundary"},
  };
  ASSERT_EQ(std::size(cases), static_cast<size_t>(error::kKindCount));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.display);
    const EngineError converted = EngineError::FromCore(c.core);
    EXPECT_EQ(converted.code(), c.code);
    EXPECT_EQ(converted.kind_number(), c.kind);
    EXPECT_EQ(converted.message(), c.core.ToString());
    EXPECT_EQ(converted.ToString(), c.display);
  }
}

TEST(EngineErrorTest, ErrorsTheEngineBuilds) {
  struct Case {
    EngineError error;
    int kind;
    std::string display;
  };
  const Case cases[] = {
      {EngineError::Closed(), 8, "engine_closed: engine handle is closed"},
      {EngineError::Invalid("bad"), 0, "invalid_argument: bad"},
      {EngineError::Internal("sequencer panicked"), 10, "internal: sequencer panicked"},
      {EngineError::LimitExceeded("page events", 0, 4096), 9,
       "resource_limit: page events is 0, maximum is 4096"},
      {EngineError::HandleNotFound("reader"), 2, "not_found: reader handle was not found"},
      {EngineError::Cancelled("reader was cancelled"), 8, "cancelled: reader was cancelled"},
      {EngineError::InvalidJson("EOF while parsing a value at line 1 column 0"), 6,
       "invalid_json: EOF while parsing a value at line 1 column 0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.ToString(), c.display);
    EXPECT_EQ(c.error.kind_number(), c.kind) << c.display;
  }
}

TEST(EngineErrorTest, CoreResultsConvert) {
  EXPECT_EQ(*FromCore(Result<int>(7)), 7);
  EXPECT_TRUE(FromCore(Result<>()).ok());
  EXPECT_EQ(FromCore(Result<>(CorvantineError::EventIdConflict())).error().code(), "conflict");
}

}  // namespace
}  // namespace corvantine::facade
