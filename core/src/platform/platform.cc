#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <utility>

#include "platform/hook.h"

namespace corvantine::platform {
namespace {

CorvantineError LastError() { return CorvantineError::IoFromErrno(errno); }

// Turns a system call's -1 into the Io error of errno.
Result<> Checked(int result) {
  if (result == -1) return LastError();
  return {};
}

// Checked, telling the hook about a call that succeeded.
Result<> CheckedChange(int result, const Change& change) {
  if (result == -1) return LastError();
  internal::Record(change);
  return {};
}

template <typename Syscall>
auto RetryOnEintr(Syscall syscall) {
  decltype(syscall()) result;
  do {
    result = syscall();
  } while (result == -1 && errno == EINTR);
  return result;
}

// Makes a system call that moves `n` bytes through the hook, which
// may fail it or lower `n`, and retries it while interrupted.
template <typename Syscall>
auto Transfer(Op op, const std::string& path, size_t n, Syscall syscall) {
  return RetryOnEintr([&]() -> decltype(syscall(n)) {
    const Injection injection = internal::Intercept(op, path);
    if (injection.os_code != 0) {
      errno = injection.os_code;
      return -1;
    }
    if (injection.skip_flush) return decltype(syscall(n)){0};
    return syscall(std::min(n, injection.max_bytes));
  });
}

// Transfer for a call that moves no bytes.
template <typename Syscall>
auto Call(Op op, const std::string& path, Syscall syscall) {
  return Transfer(op, path, 0, [&](size_t) { return syscall(); });
}

// Linux releases the descriptor even when close fails or is interrupted, so
// close is never retried, and an injected failure still closes.
Result<> CloseDescriptor(int fd, const std::string& path) {
  const Injection injection = internal::Intercept(Op::kClose, path);
  const int result = ::close(fd);
  if (injection.os_code != 0) return CorvantineError::IoFromErrno(injection.os_code);
  return Checked(result);
}

// The mode applies only when `flags` create the file.
Result<File> Open(const std::string& path, int flags) {
  const int fd =
      Call(Op::kOpen, path, [&] { return ::open(path.c_str(), flags | O_CLOEXEC, 0666); });
  if (fd == -1) return LastError();
  internal::Record({.op = Op::kOpen, .path = path, .fd = fd, .open_flags = flags});
  return File(fd, path);
}

// The directory that holds `path`'s entry.
std::string ParentOf(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::string parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? "." : parent;
}

// A new directory's entry survives a crash only once its parent is flushed.
// If that fails the directory is removed again, so that a retry creates and
// flushes it anew instead of finding it and calling it durable.
Result<> FlushNewDir(const std::string& path) {
  Result<> flushed = SyncDir(ParentOf(path));
  if (!flushed.ok()) (void)RemoveAll(path);
  return flushed;
}

// Creates one directory durably; an existing directory is success.
Result<> MakeDir(const std::string& path) {
  if (Call(Op::kCreateDir, path, [&] { return ::mkdir(path.c_str(), 0777); }) == 0) {
    internal::Record({.op = Op::kCreateDir, .path = path});
    return FlushNewDir(path);
  }
  const int mkdir_errno = errno;  // before IsDirectory's stat can change it
  if (mkdir_errno == EEXIST && IsDirectory(path)) return {};
  return CorvantineError::IoFromErrno(mkdir_errno);
}

}  // namespace

File::File(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) (void)CloseDescriptor(fd_, path_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) (void)CloseDescriptor(fd_, path_);
}

Result<size_t> File::ReadAt(uint64_t offset, size_t n, char* buf) const {
  size_t done = 0;
  while (done < n) {
    const ssize_t got = Transfer(Op::kRead, path_, n - done, [&](size_t len) {
      return ::pread(fd_, buf + done, len, static_cast<off_t>(offset + done));
    });
    if (got == -1) return LastError();
    if (got == 0) break;  // end of file
    done += static_cast<size_t>(got);
  }
  return done;
}

Result<> File::ReadExactAt(uint64_t offset, size_t n, char* buf) const {
  CVN_ASSIGN_OR_RETURN(const size_t got, ReadAt(offset, n, buf));
  if (got < n) return CorvantineError::Io(error::IoError::UnexpectedEof());
  return {};
}

Result<> File::WriteAt(uint64_t offset, std::string_view data) {
  while (!data.empty()) {
    const ssize_t put = Transfer(Op::kWrite, path_, data.size(), [&](size_t len) {
      return ::pwrite(fd_, data.data(), len, static_cast<off_t>(offset));
    });
    if (put == -1) return LastError();
    // No error yet no progress: retrying could spin forever.
    if (put == 0) return CorvantineError::Io(error::IoError::WriteZero());
    internal::Record({.op = Op::kWrite, .path = path_, .fd = fd_});
    data.remove_prefix(static_cast<size_t>(put));
    offset += static_cast<uint64_t>(put);
  }
  return {};
}

Result<> File::Sync() {
  return CheckedChange(Call(Op::kSync, path_, [&] { return ::fsync(fd_); }),
                       {.op = Op::kSync, .path = path_, .fd = fd_});
}

Result<> File::DataSync() {
  return CheckedChange(Call(Op::kDataSync, path_, [&] { return ::fdatasync(fd_); }),
                       {.op = Op::kDataSync, .path = path_, .fd = fd_});
}

Result<> File::Truncate(uint64_t length) {
  return CheckedChange(
      Call(Op::kTruncate, path_, [&] { return ::ftruncate(fd_, static_cast<off_t>(length)); }),
      {.op = Op::kTruncate, .path = path_, .fd = fd_});
}

Result<uint64_t> File::Size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return LastError();
  return static_cast<uint64_t>(st.st_size);
}

Result<> File::Close() {
  if (fd_ < 0) return {};
  return CloseDescriptor(std::exchange(fd_, -1), path_);
}

Result<File> OpenForRead(const std::string& path) { return Open(path, O_RDONLY); }

Result<File> OpenForReadWrite(const std::string& path) { return Open(path, O_RDWR); }

Result<File> CreateExclusive(const std::string& path) {
  return Open(path, O_RDWR | O_CREAT | O_EXCL);
}

Result<File> CreateOrTruncate(const std::string& path) {
  return Open(path, O_WRONLY | O_CREAT | O_TRUNC);
}

Result<std::string> ReadFile(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(const File file, OpenForRead(path));
  CVN_ASSIGN_OR_RETURN(const uint64_t size, file.Size());
  std::string content(size, '\0');
  // The file may shrink while it is read; keep what was there.
  CVN_ASSIGN_OR_RETURN(const size_t got, file.ReadAt(0, content.size(), content.data()));
  content.resize(got);
  return content;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      released_(std::exchange(other.released_, 0)) {}

MappedFile::~MappedFile() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

std::string_view MappedFile::bytes() const {
  return std::string_view(static_cast<const char*>(data_), size_);
}

void MappedFile::ReleaseBefore(size_t offset) {
  // Whole 2 MiB blocks of the address space: a file the kernel maps with
  // huge pages would otherwise have one split at every call, which flushes
  // the TLB of every thread of the process.
  constexpr uintptr_t kBlock = 2 << 20;
  const auto start = reinterpret_cast<uintptr_t>(data_);
  const uintptr_t block_end = (start + std::min(offset, size_)) / kBlock * kBlock;
  const size_t end = block_end > start ? block_end - start : 0;
  if (end <= released_) return;
  // Only a hint: pages that stay are dropped when the mapping is.
  (void)::madvise(static_cast<char*>(data_) + released_, end - released_, MADV_DONTNEED);
  released_ = end;
}

Result<MappedFile> MapForRead(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(File file, OpenForRead(path));
  CVN_ASSIGN_OR_RETURN(const uint64_t size, file.Size());
  if (size == 0) return MappedFile();
  void* data = MAP_FAILED;
  const int mapped = Call(Op::kMap, path, [&] {
    data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.fd(), 0);
    return data == MAP_FAILED ? -1 : 0;
  });
  if (mapped == -1) return LastError();
  MappedFile mapping(data, size);
  CVN_TRY(file.Close());  // as every close, its failure is reported
  return mapping;
}

Result<uint64_t> FileSizeOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return LastError();
  return static_cast<uint64_t>(st.st_size);
}

Result<EntryStat> StatEntry(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return LastError();
  if (!S_ISREG(st.st_mode)) return EntryStat{};
  return EntryStat{.regular_file = true, .size = static_cast<uint64_t>(st.st_size)};
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<> SyncDir(const std::string& path) {
  // The open is not a fault point of its own: a test fails the flush as one
  // kSyncDir call.
  const int fd =
      RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd == -1) return LastError();
  const int result = Call(Op::kSyncDir, path, [&] { return ::fsync(fd); });
  const int sync_errno = errno;
  ::close(fd);
  if (result == -1) return CorvantineError::IoFromErrno(sync_errno);
  internal::Record({.op = Op::kSyncDir, .path = path});
  return {};
}

Result<> Rename(const std::string& from, const std::string& to) {
  return CheckedChange(Call(Op::kRename, from, [&] { return ::rename(from.c_str(), to.c_str()); }),
                       {.op = Op::kRename, .path = from, .to = to});
}

Result<> RemoveFile(const std::string& path) {
  return CheckedChange(Call(Op::kRemove, path, [&] { return ::unlink(path.c_str()); }),
                       {.op = Op::kRemove, .path = path});
}

Result<> RemoveAll(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return {};
    return LastError();
  }
  if (!S_ISDIR(st.st_mode)) return RemoveFile(path);
  CVN_ASSIGN_OR_RETURN(const std::vector<std::string> names, ListDir(path));
  for (const std::string& name : names) CVN_TRY(RemoveAll(JoinPath(path, name)));
  return CheckedChange(Call(Op::kRemove, path, [&] { return ::rmdir(path.c_str()); }),
                       {.op = Op::kRemove, .path = path});
}

Result<std::vector<std::string>> ListDir(const std::string& path) {
  const int fd = Call(Op::kListDir, path,
                      [&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd == -1) return LastError();
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), &::closedir);
  if (dir == nullptr) {
    const CorvantineError error = LastError();
    ::close(fd);
    return error;
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;  // readdir signals an error only through errno
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  if (errno != 0) return LastError();
  std::sort(names.begin(), names.end());
  return names;
}

Result<std::vector<std::string>> ListRegularFiles(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(std::vector<std::string> names, ListDir(path));
  std::erase_if(names, [&](const std::string& name) {
    const Result<EntryStat> entry = StatEntry(JoinPath(path, name));
    return !entry.ok() || !entry->regular_file;
  });
  return names;
}

Result<> CreateDirs(const std::string& path) {
  Result<> made = MakeDir(path);
  if (made.ok() || !made.error().IsOsError(ENOENT)) return made;
  const std::string parent = std::filesystem::path(path).parent_path();
  if (parent.empty() || parent == path) return made;
  CVN_TRY(CreateDirs(parent));
  return MakeDir(path);
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string joined(dir);
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += name;
  return joined;
}

}  // namespace corvantine::platform
