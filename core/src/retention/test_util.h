// Sample documents for the tests of the retention module.
#pragma once

#include <cstdint>
#include <string>

#include "format/test_util.h"
#include "retention/anchor.h"
#include "util/crc32c.h"

namespace corvantine::retention {

using format::testing::FilledId;

inline RetentionBranchBootstrap SampleBranchBootstrap(uint64_t floor, uint8_t branch,
                                                      std::string checkpoint) {
  RetentionBranchBootstrap bootstrap;
  bootstrap.branch_id = format::BranchId(FilledId(branch));
  bootstrap.floor = floor;
  bootstrap.checksum = util::crc32c::Value(checkpoint);
  bootstrap.checkpoint = std::move(checkpoint);
  return bootstrap;
}

inline RetentionConsumerBootstrap SampleConsumerBootstrap(uint64_t floor, std::string consumer,
                                                          uint8_t checkpoint_id,
                                                          std::string checkpoint) {
  RetentionConsumerBootstrap bootstrap;
  bootstrap.consumer_id = std::move(consumer);
  bootstrap.floor = floor;
  bootstrap.checksum = util::crc32c::Value(checkpoint);
  bootstrap.checkpoint = std::move(checkpoint);
  bootstrap.checkpoint_id = FilledId(checkpoint_id);
  bootstrap.scope.branches = {format::BranchId()};
  bootstrap.scope.event_types = {"t"};
  bootstrap.codec_version = 2;
  return bootstrap;
}

// A valid anchor for database 01 02 .. 10, floor 7 and `head`, with an
// empty stream catalog, the default branch catalog and one element in each
// list.
inline CoreRetentionAnchor SampleAnchor(uint64_t head = 9) {
  CoreRetentionAnchor anchor;
  format::IdBytes database_id;
  for (uint8_t i = 0; i < database_id.size(); ++i) database_id[i] = i + 1;
  anchor.database_id = format::DatabaseId(database_id);
  anchor.floor = 7;
  anchor.head = head;
  anchor.projection_coverage = {
      {"v", FilledId(0xAA), format::BranchId(), head, {"s1"}},
  };
  anchor.branch_bootstraps = {SampleBranchBootstrap(7, 0, "123456789")};
  anchor.consumer_bootstraps = {SampleConsumerBootstrap(7, "c", 1, "123456789")};
  anchor.system_records = {{"e", std::string("\x00\xff", 2)}};
  return anchor;
}

}  // namespace corvantine::retention
