#include "db/checkpoint.h"

#include <algorithm>
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

// The CRC-32C of the first `end` bytes of a file, as a decoder asks for it
// once it knows where the checksum lies.
using ChecksumOf = std::function<uint32_t(size_t end)>;

// As CoreCatalogCheckpoint::Decode, calling `release(n)` now and then once
// the bytes before n are decoded: a caller may drop them, so that a large
// file need not stay in memory beside the catalog built from it. The maps
// only appends need are built by the job given to `start`.
Result<CoreCatalogCheckpoint> DecodeReleasing(std::string_view bytes,
                                              const std::function<void(size_t)>& release,
                                              const stream::StreamCatalog::StartJob& start,
                                              const ChecksumOf& checksum_of) {
  util::BinaryReader reader(bytes);
  size_t released = 0;
  auto done_before = [&](size_t end) {
    if (end - released < kReleaseBytes) return;
    released = end;
    release(end);
  };
  CoreCatalogCheckpoint checkpoint;
  CVN_ASSIGN_OR_RETURN(const util::Bytes16 id, reader.Array16());
  checkpoint.database_id = format::DatabaseId(id);
  CVN_ASSIGN_OR_RETURN(checkpoint.head, reader.U64());
  CVN_ASSIGN_OR_RETURN(checkpoint.catalog,
                       stream::StreamCatalog::DecodeDeferring(reader, done_before, start));
  checkpoint.catalog.BuildInBackground();
  const size_t summed = reader.position();
  CVN_ASSIGN_OR_RETURN(const uint32_t stored, reader.U32());
  if (stored != checksum_of(summed)) {
    return CorvantineError::Codec("core catalog checksum mismatch");
  }
  return checkpoint;
}

// Sums a file's bytes up to its last four, where the checksum of a file
// without trailing bytes lies, on a thread of its own over its own map,
// which it releases as it goes. Any other end is summed when asked for.
ChecksumOf ChecksumInBackground(platform::MappedFile mapped) {
  auto file = std::make_shared<platform::MappedFile>(std::move(mapped));
  const size_t size = file->bytes().size();
  const size_t usual_end = size < 4 ? 0 : size - 4;
  std::shared_future<uint32_t> usual = std::async(std::launch::async, [=] {
    uint32_t crc = 0;
    for (size_t summed = 0; summed < usual_end;) {
      const size_t end = std::min(usual_end, summed + kReleaseBytes);
      crc = util::crc32c::Extend(crc, file->bytes().data() + summed, end - summed);
      file->ReleaseBefore(summed = end);
    }
    return crc;
  }).share();
  return [=](size_t end) {
    const uint32_t crc = usual.get();
    return end == usual_end ? crc : util::crc32c::Value(file->bytes().substr(0, end));
  };
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
  auto checksum_of = [&](size_t end) { return util::crc32c::Value(bytes.substr(0, end)); };
  return DecodeReleasing(bytes, [](size_t) {}, run_here, checksum_of);
}

std::optional<CheckpointFile> ReadCoreCatalog(const std::string& directory) {
  const std::string path = platform::JoinPath(directory, kCoreCatalogFileName);
  const Result<uint64_t> size = platform::FileSizeOf(path);
  if (!size.ok() || *size > kMaxCoreCatalogBytes) return std::nullopt;
  // Three maps of the file, for the decoder, the job and the checksum, each
  // released by the thread that reads it. The directory lock keeps other
  // processes from replacing the file between them; its head in front is
  // checked all the same.
  Result<platform::MappedFile> file = platform::MapForRead(path);
  Result<platform::MappedFile> job_file = platform::MapForRead(path);
  Result<platform::MappedFile> sum_file = platform::MapForRead(path);
  if (!file.ok() || !job_file.ok() || !sum_file.ok() ||
      !SameFront(file->bytes(), job_file->bytes()) ||
      !SameFront(file->bytes(), sum_file->bytes())) {
    return std::nullopt;
  }
  const size_t file_bytes = file->bytes().size();
  Result<CoreCatalogCheckpoint> decoded = DecodeReleasing(
      file->bytes(), [&](size_t end) { file->ReleaseBefore(end); },
      InBackground(std::make_shared<platform::MappedFile>(std::move(*job_file))),
      ChecksumInBackground(std::move(*sum_file)));
  if (!decoded.ok()) return std::nullopt;
  return CheckpointFile{std::move(*decoded), file_bytes};
}

std::optional<LoadedCheckpoint> AcceptCoreCatalog(const std::string& directory,
                                                  std::optional<CheckpointFile> read,
                                                  const format::DatabaseId& database_id,
                                                  uint64_t floor, uint64_t log_head) {
  if (!read) return std::nullopt;
  CoreCatalogCheckpoint& checkpoint = read->checkpoint;
  if (checkpoint.database_id != database_id) return std::nullopt;
  if (checkpoint.head > log_head) {
    // Kept, it would serve an open once appends have passed its head again
    // if the rewrite failed. Best effort: the open also checks the batch a
    // checkpoint ends with.
    (void)platform::RemoveFile(platform::JoinPath(directory, kCoreCatalogFileName));
    return std::nullopt;
  }
  if (checkpoint.head < floor) return std::nullopt;
  return LoadedCheckpoint{checkpoint.head, std::move(checkpoint.catalog), read->file_bytes};
}

std::optional<LoadedCheckpoint> LoadCoreCatalog(const std::string& directory,
                                                const format::DatabaseId& database_id,
                                                uint64_t floor, uint64_t log_head) {
  return AcceptCoreCatalog(directory, ReadCoreCatalog(directory), database_id, floor, log_head);
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
