#include "db/checkpoint.h"

#include <functional>
#include <future>
#include <memory>
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

namespace {

// Bytes the decoder is past are released in pieces at least this large.
constexpr size_t kReleaseBytes = 1 << 20;

// The checksum of a prefix of `bytes` that grows as a decoder goes on.
class RunningChecksum {
 public:
  explicit RunningChecksum(std::string_view bytes) : bytes_(bytes) {}

  void ExtendTo(size_t end) {
    crc_ = util::crc32c::Extend(crc_, bytes_.data() + summed_, end - summed_);
    summed_ = end;
  }
  size_t summed() const { return summed_; }
  uint32_t value() const { return crc_; }

 private:
  std::string_view bytes_;
  size_t summed_ = 0;
  uint32_t crc_ = 0;
};

// As CoreCatalogCheckpoint::Decode, summing the bytes as the catalog is
// decoded rather than after, and calling `release(n)` now and then once the
// bytes before n are summed and decoded: a caller may drop them, so that a
// large file need not stay in memory beside the catalog built from it. The
// maps only appends need are built by the job given to `start`.
Result<CoreCatalogCheckpoint> DecodeReleasing(std::string_view bytes,
                                              const std::function<void(size_t)>& release,
                                              const stream::StreamCatalog::StartJob& start) {
  util::BinaryReader reader(bytes);
  RunningChecksum checksum(bytes);
  auto done_before = [&](size_t end) {
    if (end - checksum.summed() < kReleaseBytes) return;
    checksum.ExtendTo(end);
    release(end);
  };
  CoreCatalogCheckpoint checkpoint;
  CVN_ASSIGN_OR_RETURN(const util::Bytes16 id, reader.Array16());
  checkpoint.database_id = format::DatabaseId(id);
  CVN_ASSIGN_OR_RETURN(checkpoint.head, reader.U64());
  CVN_ASSIGN_OR_RETURN(checkpoint.catalog,
                       stream::StreamCatalog::DecodeDeferring(reader, done_before, start));
  checksum.ExtendTo(reader.position());
  CVN_ASSIGN_OR_RETURN(const uint32_t stored, reader.U32());
  if (stored != checksum.value()) return CorvantineError::Codec("core catalog checksum mismatch");
  return checkpoint;
}

}  // namespace

// Whether two maps show the same size and the same id and head in front.
bool SameFront(std::string_view a, std::string_view b) {
  constexpr size_t kFront = 24;
  return a.size() == b.size() && a.substr(0, kFront) == b.substr(0, kFront);
}

// Runs the job on a thread of its own, over its own map of the file, which
// it releases as it goes; the open goes on meanwhile.
stream::StreamCatalog::StartJob InBackground(std::shared_ptr<platform::MappedFile> file) {
  return [file = std::move(file)](stream::StreamCatalog::AppendTablesJob job) {
    return std::async(std::launch::async, [file, job = std::move(job)]() mutable {
      return std::move(job).Run(file->bytes(), [&](size_t end) { file->ReleaseBefore(end); });
    });
  };
}

Result<CoreCatalogCheckpoint> CoreCatalogCheckpoint::Decode(std::string_view bytes) {
  auto run_here = [&](stream::StreamCatalog::AppendTablesJob job) {
    std::promise<stream::StreamCatalog::AppendTables> built;
    built.set_value(std::move(job).Run(bytes, [](size_t) {}));
    return built.get_future();
  };
  return DecodeReleasing(bytes, [](size_t) {}, run_here);
}

std::optional<LoadedCheckpoint> LoadCoreCatalog(const std::string& directory,
                                                const format::DatabaseId& database_id,
                                                uint64_t floor, uint64_t log_head) {
  const std::string path = platform::JoinPath(directory, kCoreCatalogFileName);
  const Result<uint64_t> size = platform::FileSizeOf(path);
  if (!size.ok() || *size > kMaxCoreCatalogBytes) return std::nullopt;
  // Two maps of the file, each released by the thread that reads it. The
  // directory lock keeps other processes from replacing the file between
  // them; its head in front is checked all the same.
  Result<platform::MappedFile> file = platform::MapForRead(path);
  Result<platform::MappedFile> job_file = platform::MapForRead(path);
  if (!file.ok() || !job_file.ok() || !SameFront(file->bytes(), job_file->bytes())) {
    return std::nullopt;
  }
  const size_t file_bytes = file->bytes().size();
  Result<CoreCatalogCheckpoint> decoded = DecodeReleasing(
      file->bytes(), [&](size_t end) { file->ReleaseBefore(end); },
      InBackground(std::make_shared<platform::MappedFile>(std::move(*job_file))));
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
  return LoadedCheckpoint{checkpoint.head, std::move(checkpoint.catalog), file_bytes};
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
