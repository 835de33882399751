// The snapshot file and its manifest: names, the exact JSON, and every way a
// damaged file is refused.

#include "snapshot/file.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "snapshot/manifest.h"
#include "snapshot/test_util.h"
#include "testing/test_util.h"
#include "util/coding.h"
#include "util/crc32c.h"

namespace corvantine::snapshot {
namespace {

using namespace platform::testing;

// "[b,b,...]": a 16-byte id of one repeated byte as JSON.
std::string IdJson(uint8_t byte) { return format::IdBytesToJsonArray(FilledId(byte)); }

// A file with the given header fields around `json` and `state`; the CRC of
// the manifest is right unless given.
std::string FileOf(std::string_view json, std::string_view state,
                   std::optional<uint32_t> manifest_crc = std::nullopt) {
  std::string file(kSnapshotHeaderBytes, '\0');
  util::EncodeFixed64(file.data(), kSnapshotMagic);
  util::EncodeFixed32(file.data() + 8, static_cast<uint32_t>(json.size()));
  util::EncodeFixed32(file.data() + 12, manifest_crc.value_or(util::crc32c::Value(json)));
  return file.append(json).append(state);
}

std::string JsonOf(const SnapshotManifest& manifest) { return manifest.ToJson().value(); }

TEST(SnapshotManifest, IsWrittenWithEveryKeyInDeclaredOrder) {
  const std::string cursor = "{\"database_id\":" + IdJson(0x11) + ",\"branch_id\":" +
                             IdJson(0x22) + ",\"position\":42,\"descriptor_fingerprint\":" +
                             IdJson(0xAA) + "}";
  const std::string head = "{\"format_version\":1,\"database_id\":" + IdJson(0x11) +
                           ",\"projection_name\":\"v\",\"descriptor_fingerprint\":" +
                           IdJson(0xAA) + ",\"definition_id\":" + IdJson(0xDD) +
                           ",\"definition_version\":1,\"branch_id\":" + IdJson(0x22) +
                           ",\"branch_lineage_fingerprint\":" + IdJson(0x33) +
                           ",\"cursor\":" + cursor +
                           ",\"state_codec\":1,\"state_codec_version\":1,"
                           "\"created_at_unix_nanos\":-5,\"uncompressed_len\":5,\"checksum\":" +
                           std::to_string(util::crc32c::Value("state"));
  EXPECT_EQ(JsonOf(SampleManifest(42, -5)),
            head + ",\"partition\":null,\"partition_scheme_id\":null,"
                   "\"partition_scheme_version\":null,\"partition_count\":null}");
  SnapshotManifest partitioned = SampleManifest(42, -5, 3);
  partitioned.format_version = 1;
  EXPECT_EQ(JsonOf(partitioned),
            head + ",\"partition\":3,\"partition_scheme_id\":\"stream-id-modulo\","
                   "\"partition_scheme_version\":1,\"partition_count\":4}");
}

TEST(SnapshotManifest, NamesItsFile) {
  SnapshotManifest example = SampleManifest(42, 0x18c2f3a4b5c, 3);
  for (uint8_t i = 0; i < 16; ++i) example.descriptor_fingerprint[i] = i * 0x11;
  const struct {
    SnapshotManifest manifest;
    std::string name;
  } cases[] = {
      {example, "00112233445566778899aabbccddeeff-p0003-00000000000000000042-0000018c2f3a4b5c.snap"},
      {SampleManifest(0, 1), std::string(32, 'a') + "-p0000-" + std::string(20, '0') +
                                 "-0000000000000001.snap"},
      {SampleManifest(UINT64_MAX, -1, 123456), std::string(32, 'a') +
                                                   "-p123456-18446744073709551615-ffffffffffffffff.snap"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.manifest.FileName(), c.name);
}

TEST(SnapshotManifest, ReadsWhatIsWrittenAndToleratesWhatTheReaderAllows) {
  const SnapshotManifest manifest = SampleManifest(7, 9, 2);
  const std::string json = JsonOf(manifest);
  EXPECT_EQ(SnapshotManifest::FromJson(json).value(), manifest);
  const std::string unpartitioned = JsonOf(SampleManifest(7, 9));
  const std::string without_partition =
      unpartitioned.substr(0, unpartitioned.find(",\"partition\"")) + "}";
  EXPECT_EQ(SnapshotManifest::FromJson(without_partition).value(), SampleManifest(7, 9));
  EXPECT_EQ(SnapshotManifest::FromJson("{\"extra\":[1]," + json.substr(1)).value(), manifest);
}

// Rows: a whole file and what decoding it gives. The same bytes are decoded
// in memory and from a file.
TEST(SnapshotFile, RefusesEveryDamagedFile) {
  const SnapshotManifest manifest = SampleManifest(7, 9);
  const std::string json = JsonOf(manifest);
  const std::string good = EncodeSnapshot(manifest, "state").value();
  auto with = [&](size_t offset, std::string_view bytes) {
    return std::string(good).replace(offset, bytes.size(), bytes);
  };
  auto manifest_with = [&](std::string_view from, std::string_view to) {
    std::string changed = json;
    changed.replace(changed.find(from), from.size(), to);
    return FileOf(changed, "state");
  };
  const size_t state_offset = kSnapshotHeaderBytes + json.size();
  const uint32_t crc = util::crc32c::Value("state");
  const std::string checksum = "\"checksum\":" + std::to_string(crc);
  const struct {
    const char* name;
    std::string file;
    std::string outcome;
  } cases[] = {
      {"intact", good, "ok"},
      {"empty", "", "snapshot_corrupt: snapshot length is invalid"},
      {"15 bytes", good.substr(0, 15), "snapshot_corrupt: snapshot length is invalid"},
      {"16 bytes", good.substr(0, 16), "snapshot_corrupt: snapshot manifest length is invalid"},
      {"bad magic", with(7, "2"), "snapshot_corrupt: snapshot magic is invalid"},
      {"manifest length 0", with(8, std::string(4, '\0')),
       "snapshot_corrupt: snapshot manifest length is invalid"},
      {"manifest length 65537", with(8, std::string("\x01\x00\x01\x00", 4)),
       "snapshot_corrupt: snapshot manifest length is invalid"},
      {"manifest beyond the end", good.substr(0, state_offset - 1),
       "snapshot_corrupt: snapshot manifest length is invalid"},
      {"manifest checksum field", FileOf(json, "state", 1),
       "snapshot_corrupt: snapshot manifest checksum mismatch"},
      {"manifest byte flipped", with(20, "X"),
       "snapshot_corrupt: snapshot manifest checksum mismatch"},
      {"manifest not JSON", FileOf("{", ""),
       "snapshot_corrupt: EOF while parsing an object at line 1 column 1"},
      {"manifest without checksum", manifest_with(",\"checksum\"", ",\"checksum_\""),
       "snapshot_corrupt: missing field `checksum` at line 1 column " +
           std::to_string(json.size() + 1)},
      {"manifest with an id of 15 bytes", manifest_with("[221,", "["),
       "snapshot_corrupt: invalid length 15, expected an array of length 16 at line 1 column 274"},
      {"manifest followed by text", FileOf(json + "x", "state"),
       "snapshot_corrupt: trailing characters at line 1 column " +
           std::to_string(json.size() + 1)},
      {"state byte flipped", with(state_offset, "S"), "snapshot_corrupt: snapshot checksum mismatch"},
      {"state checksum field", manifest_with(checksum, "\"checksum\":" + std::to_string(crc ^ 1)),
       "snapshot_corrupt: snapshot checksum mismatch"},
      {"a byte appended", good + "x", "snapshot_corrupt: snapshot state length mismatch"},
      {"state cut short", good.substr(0, good.size() - 1),
       "snapshot_corrupt: snapshot state length mismatch"},
      {"uncompressed_len field", manifest_with("\"uncompressed_len\":5", "\"uncompressed_len\":6"),
       "snapshot_corrupt: snapshot state length mismatch"},
  };
  TempDir dir;
  const std::string path = dir.path() + "/x.snap";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Outcome(DecodeSnapshot(c.file)), c.outcome);
    WriteFile(path, c.file);
    EXPECT_EQ(Outcome(DecodeFile(path)), c.outcome);
  }
  WriteFile(path, good);
  EXPECT_EQ(DecodeFile(path)->state, "state");
  ScopedFault map_fails(platform::Op::kOpen, 2, Fault::Error(EIO));  // the state's map
  EXPECT_EQ(Outcome(DecodeFile(path)), "io: Input/output error (os error 5)");
  EXPECT_EQ(map_fails.hits(), 1u);
}

TEST(SnapshotFile, RefusesAnOversizedFileBeforeReadingIt) {
  TempDir dir;
  const std::string path = dir.path() + "/x.snap";
  platform::File file = platform::CreateOrTruncate(path).value();
  ASSERT_TRUE(file.Truncate(kMaxSnapshotFileBytes + 1).ok());  // sparse
  EXPECT_EQ(Outcome(DecodeFile(path)), "snapshot_corrupt: snapshot length is invalid");
  EXPECT_EQ(Outcome(DecodeFile(dir.path() + "/missing.snap")),
            "io: No such file or directory (os error 2)");
}

TEST(SnapshotFile, EncodingKeepsToItsLimits) {
  SnapshotManifest manifest = SampleManifest(7, 9);
  manifest.projection_name = std::string(kMaxManifestBytes, 'n');
  EXPECT_EQ(Outcome(EncodeSnapshot(manifest, "state")),
            "resource_limit: snapshot manifest is " +
                std::to_string(JsonOf(manifest).size()) + ", maximum is 65536");
  manifest.projection_name = "\xff";
  EXPECT_EQ(Outcome(EncodeSnapshot(manifest, "state")),
            "snapshot_internal: snapshot manifest text is not valid UTF-8");
  const std::string state(kMaxStateBytes + 1, 's');
  EXPECT_EQ(Outcome(EncodeSnapshot(SampleManifest(7, 9), state)),
            "resource_limit: snapshot state is 67108865, maximum is 67108864");
}

}  // namespace
}  // namespace corvantine::snapshot
