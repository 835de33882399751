// The core catalog checkpoint, "core-catalog.bin" in the database directory:
// the stream catalog as it stood at one log position, so that an open need
// not decode every event of the log. It is derived data: a checkpoint that
// is missing, damaged, for another database or ahead of the log is ignored
// and the catalog rebuilt from the log. Layout, integers little-endian, no
// header and no version:
//
//   offset  size  field
//   0       16    database id
//   16      8     head: the catalog holds every event below this position
//   24      C     the stream catalog's encoding (stream/catalog.h)
//   24+C    4     CRC-32C of bytes 0 .. 24+C-1
//
// Bytes after the checksum are ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/error.h"
#include "format/ids.h"
#include "stream/catalog.h"

namespace corvantine::db {

inline constexpr char kCoreCatalogFileName[] = "core-catalog.bin";
inline constexpr char kCoreCatalogTempName[] = "core-catalog.tmp";
// A longer file is never read as a checkpoint.
inline constexpr uint64_t kMaxCoreCatalogBytes = 256ull << 20;

// The file's bytes, checksum included.
std::string EncodeCoreCatalog(const format::DatabaseId& database_id, uint64_t head,
                              const stream::StreamCatalog& catalog);

struct CoreCatalogCheckpoint {
  format::DatabaseId database_id;
  uint64_t head = 0;
  stream::StreamCatalog catalog;

  // The inverse of EncodeCoreCatalog. Fails with the reader's Codec error on a short or malformed
  // input, and with Codec "core catalog checksum mismatch". Never allocates for more entries than
  // the input can hold.
  static Result<CoreCatalogCheckpoint> Decode(std::string_view bytes);
};

// A checkpoint file as it decoded, and its size.
struct CheckpointFile {
  CoreCatalogCheckpoint checkpoint;
  uint64_t file_bytes = 0;
};

// A checkpoint accepted by AcceptCoreCatalog.
struct LoadedCheckpoint {
  uint64_t head = 0;
  stream::StreamCatalog catalog;
  uint64_t file_bytes = 0;
};

// The checkpoint of `directory` if it is readable, at most 256 MiB and
// decodes; nothing otherwise. Nothing is checked against a log yet: it may
// be read while the log is being opened, once the directory lock is held.
// The file is mapped and its pages dropped as the catalog is decoded, so an
// open never holds both the file and the catalog built from it.
std::optional<CheckpointFile> ReadCoreCatalog(const std::string& directory);

// The checkpoint read from `directory` if it can serve an open of database
// `database_id` whose log holds positions `floor` up to `log_head`: it must
// carry that database id and a head from `floor` to `log_head`. The events
// from its head up to the log head are not in it. A checkpoint of the
// database whose head lies beyond `log_head` describes events the log lost,
// as when a torn tail was cut: it is also removed.
std::optional<LoadedCheckpoint> AcceptCoreCatalog(const std::string& directory,
                                                  std::optional<CheckpointFile> read,
                                                  const format::DatabaseId& database_id,
                                                  uint64_t floor, uint64_t log_head);

// AcceptCoreCatalog of ReadCoreCatalog: never fails, any problem yields
// nothing.
std::optional<LoadedCheckpoint> LoadCoreCatalog(const std::string& directory,
                                                const format::DatabaseId& database_id,
                                                uint64_t floor, uint64_t log_head);

// Writes the checkpoint through "core-catalog.tmp": written, flushed,
// closed, then renamed over "core-catalog.bin". The directory is not
// flushed: a checkpoint lost in a crash is rebuilt. Returns the file's size.
// On failure (Io) the temporary file may stay and the old checkpoint is
// unchanged.
Result<uint64_t> PersistCoreCatalog(const std::string& directory,
                                    const format::DatabaseId& database_id, uint64_t head,
                                    const stream::StreamCatalog& catalog);

}  // namespace corvantine::db
