// Files and directories as the storage library uses them (POSIX). Every
// open, read, write, flush, truncation, close and change to a directory passes
// through the hook of platform/hook.h, so tests can fail any one of them and
// follow what each changed; the stat-based queries (Size, FileSizeOf,
// StatEntry, PathExists, IsDirectory) do not.
//
// Failures are Io errors: "{strerror text} (os error {errno})" for an OS
// error, IoError::WriteZero when a write transfers nothing, and
// IoError::UnexpectedEof when an exact read meets the end of the file.
// Interrupted calls (EINTR) are retried, except close. Every descriptor is
// opened with O_CLOEXEC, and new files get mode 0666 before the umask.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.h"

namespace corvantine::platform {

// An open file that owns its descriptor and closes it on destruction. Reads
// and writes are positional (pread/pwrite) and share no seek position, so a
// reader may use the file while an appender writes to it.
class File {
 public:
  File() = default;  // holds no descriptor
  // Adopts `fd`; `path` is what the hook is told for the file's calls.
  File(int fd, std::string path);
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  // Closes the descriptor, ignoring errors; Close() reports them.
  ~File();

  // Reads up to `n` bytes at `offset` into `buf`; fewer only at end of file.
  Result<size_t> ReadAt(uint64_t offset, size_t n, char* buf) const;
  // Reads exactly `n` bytes, or fails with UnexpectedEof.
  Result<> ReadExactAt(uint64_t offset, size_t n, char* buf) const;
  // Writes all of `data` at `offset`, extending the file as needed.
  Result<> WriteAt(uint64_t offset, std::string_view data);
  // Flushes the file's data and metadata to stable storage.
  Result<> Sync();
  // Flushes the data and only the metadata needed to read it back (such as
  // the size), which saves a journal write when only contents changed.
  Result<> DataSync();
  Result<> Truncate(uint64_t length);
  Result<uint64_t> Size() const;
  // Closes now and reports a failure, which on some file systems is the
  // first sign of lost writes. The descriptor is released either way;
  // closing a closed file succeeds.
  Result<> Close();

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// Opens an existing file read-only.
Result<File> OpenForRead(const std::string& path);
// Opens an existing file for reading and writing.
Result<File> OpenForReadWrite(const std::string& path);
// Creates a new file for reading and writing; fails with EEXIST ("File
// exists (os error 17)") when the name is taken, so two creators never share
// a file.
Result<File> CreateExclusive(const std::string& path);
// Opens a file write-only, creating it or emptying it.
Result<File> CreateOrTruncate(const std::string& path);

// The whole content of a file.
Result<std::string> ReadFile(const std::string& path);

// A file's bytes mapped read-only: reads of them cost no system call and no
// copy, and for one pass over a file too large to hold twice, the pages
// already read can be dropped from memory as the pass goes on. The file must
// keep its size while it is mapped: a file cut short under the mapping ends
// the process (SIGBUS) on the next read past its new end.
class MappedFile {
 public:
  MappedFile() = default;  // maps nothing
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&&) = delete;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::string_view bytes() const;
  // Drops from memory the pages before `offset` that fill whole 2 MiB blocks
  // of the address space; read again, they come back from the file.
  void ReleaseBefore(size_t offset);

 private:
  friend Result<MappedFile> MapForRead(const std::string& path);
  MappedFile(void* data, size_t size) : data_(data), size_(size) {}

  void* data_ = nullptr;
  size_t size_ = 0;
  size_t released_ = 0;  // page-aligned
};

// Maps an existing file, through the fault points of its open and of the
// mapping itself (Op::kMap). The mapping covers the file's size at the call.
Result<MappedFile> MapForRead(const std::string& path);
Result<uint64_t> FileSizeOf(const std::string& path);

// What stands at `path` itself: a symbolic link is not followed, so it is
// never a regular file, whatever it names.
struct EntryStat {
  bool regular_file = false;
  uint64_t size = 0;  // of a regular file
};
Result<EntryStat> StatEntry(const std::string& path);

// Whether anything exists at `path` (following symbolic links).
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);

// Makes the directory's entries durable: the creations, renames and removals
// in it survive a crash once this succeeds.
Result<> SyncDir(const std::string& path);
// Atomically replaces `to` by `from`.
Result<> Rename(const std::string& from, const std::string& to);
// Removes one file; a missing file is an error (ENOENT).
Result<> RemoveFile(const std::string& path);
// Removes a file or a directory tree; a missing path is success.
Result<> RemoveAll(const std::string& path);
// The names in a directory, without "." and "..", in ascending byte order.
Result<std::vector<std::string>> ListDir(const std::string& path);
// The names of ListDir that StatEntry finds regular files; an entry that
// cannot be examined (gone since it was listed) is left out too.
Result<std::vector<std::string>> ListRegularFiles(const std::string& path);
// Creates a directory and its missing parents (mode 0777 before the umask);
// an existing directory is success. The parent of each directory it creates
// is flushed, so that what it created survives a crash once it succeeds.
Result<> CreateDirs(const std::string& path);

// `dir` + "/" + `name`, without doubling a slash that ends `dir`.
std::string JoinPath(std::string_view dir, std::string_view name);

}  // namespace corvantine::platform
