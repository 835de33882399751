#include "db/checkpoint.h"

#include <utility>

#include "platform/platform.h"
#include "util/coding.h"
#include "util/crc32c.h"

namespace corvantine::db {

std::string EncodeCoreCatalog(const format::DatabaseId& database_id, uint64_t head,
                              const stream::StreamCatalog& catalog) {
  std::string bytes;
  util::BinaryWriter writer(bytes);
  writer.PutArray16(database_id.bytes());
  writer.PutU64(head);
  catalog.Encode(writer);
  writer.PutU32(util::crc32c::Value(bytes));
  return bytes;
}

Result<CoreCatalogCheckpoint> CoreCatalogCheckpoint::Decode(std::string_view bytes) {
  util::BinaryReader reader(bytes);
  CoreCatalogCheckpoint checkpoint;
  CVN_ASSIGN_OR_RETURN(const util::Bytes16 id, reader.Array16());
  checkpoint.database_id = format::DatabaseId(id);
  CVN_ASSIGN_OR_RETURN(checkpoint.head, reader.U64());
  CVN_ASSIGN_OR_RETURN(checkpoint.catalog, stream::StreamCatalog::Decode(reader));
  const size_t covered = reader.position();
  CVN_ASSIGN_OR_RETURN(const uint32_t checksum, reader.U32());
  if (checksum != util::crc32c::Value(bytes.substr(0, covered))) {
    return CorvantineError::Codec("core catalog checksum mismatch");
  }
  return checkpoint;
}

std::optional<LoadedCheckpoint> LoadCoreCatalog(const std::string& directory,
                                                const format::DatabaseId& database_id,
                                                uint64_t floor, uint64_t log_head) {
  const std::string path = platform::JoinPath(directory, kCoreCatalogFileName);
  const Result<uint64_t> size = platform::FileSizeOf(path);
  if (!size.ok() || *size > kMaxCoreCatalogBytes) return std::nullopt;
  const Result<std::string> bytes = platform::ReadFile(path);
  if (!bytes.ok()) return std::nullopt;
  Result<CoreCatalogCheckpoint> decoded = CoreCatalogCheckpoint::Decode(*bytes);
  if (!decoded.ok()) return std::nullopt;
  CoreCatalogCheckpoint& checkpoint = *decoded;
  if (checkpoint.database_id != database_id) return std::nullopt;
  if (checkpoint.head > log_head) {
    // Kept, it would serve an open once appends have passed its head again
    // if the rewrite failed. Best effort: the open also checks the batch a
    // checkpoint ends with.
    (void)platform::RemoveFile(path);
    return std::nullopt;
  }
  if (checkpoint.head < floor) return std::nullopt;
  return LoadedCheckpoint{checkpoint.head, std::move(checkpoint.catalog), bytes->size()};
}

Result<uint64_t> PersistCoreCatalog(const std::string& directory,
                                    const format::DatabaseId& database_id, uint64_t head,
                                    const stream::StreamCatalog& catalog) {
  const std::string bytes = EncodeCoreCatalog(database_id, head, catalog);
  const std::string temp = platform::JoinPath(directory, kCoreCatalogTempName);
  CVN_ASSIGN_OR_RETURN(platform::File file, platform::CreateOrTruncate(temp));
  CVN_TRY(file.WriteAt(0, bytes));
  CVN_TRY(file.Sync());
  CVN_TRY(file.Close());
  CVN_TRY(platform::Rename(temp, platform::JoinPath(directory, kCoreCatalogFileName)));
  return bytes.size();
}

}  // namespace corvantine::db
