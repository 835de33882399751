#include "testing/power_loss.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

#include "testing/hook.h"

namespace corvantine::platform::testing {
namespace internal {
namespace {

namespace fs = std::filesystem;

using NodeId = size_t;
using Entries = std::map<std::string, NodeId>;
// What the file system calls one file: device and inode.
using FileKey = std::pair<dev_t, ino_t>;

constexpr NodeId kRootNode = 0;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "PowerLossRecorder: %s\n", what.c_str());
  std::abort();
}

FileKey KeyOf(const struct stat& st) { return {st.st_dev, st.st_ino}; }

std::optional<FileKey> KeyOfPath(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return KeyOf(st);
}

std::optional<FileKey> KeyOfDescriptor(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return KeyOf(st);
}

// Read with the standard library, so that the recorder records nothing of
// its own.
std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return std::move(content).str();
}

void WriteWhole(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) Fail("cannot write " + path);
}

// A descriptor may be open for writing only; read the file it names anew.
std::string ReadDescriptor(int fd) { return ReadWhole("/proc/self/fd/" + std::to_string(fd)); }

// One creation, rename or removal of an entry: `name` comes to name `node`,
// or nothing, and a rename inside the directory drops `moved_from` with it.
struct EntryChange {
  std::string name;
  std::optional<NodeId> node;
  std::optional<std::string> moved_from;

  void ApplyTo(Entries& entries) const {
    if (moved_from) entries.erase(*moved_from);
    if (node) {
      entries[name] = *node;
    } else {
      entries.erase(name);
    }
  }
};

// A file or a directory, live or unlinked: unlinked ones stay while a
// durable entry may still name them.
struct Node {
  bool is_dir = false;
  FileKey key{};
  std::string durable = {};                 // a file's contents as of its last flush
  Entries entries = {};                     // a directory's entries as they stand
  Entries durable_entries = {};             // and as of its last flush
  std::vector<EntryChange> unflushed = {};  // the changes between the two, in order
};

// Where a path leads in the model: its directory and its last name.
struct Location {
  NodeId dir;
  std::string name;
};

}  // namespace

class PowerLossModel {
 public:
  explicit PowerLossModel(std::string root);

  // Applies one change; false when it changed nothing under the root.
  bool Apply(const Change& change);
  void Write(const std::string& image_dir, Survival survival) const;

  uint64_t changes = 0;
  uint64_t durable_generation = 0;
  std::function<void(uint64_t)> observer;

 private:
  NodeId AddNode(bool is_dir, FileKey key);
  void AddBaseline(NodeId dir, const fs::path& path);
  std::optional<std::vector<std::string>> Components(std::string_view path) const;
  std::optional<Location> Locate(std::string_view path) const;
  std::optional<NodeId> NodeAt(std::string_view path) const;
  void ChangeEntry(NodeId dir, EntryChange change);
  void Unlink(NodeId node);

  bool Created(std::string_view path, std::optional<FileKey> key, bool is_dir);
  bool Flushed(int fd);
  bool DirFlushed(std::string_view path);
  bool Survives(NodeId node) const;
  bool Moved(std::string_view from, std::string_view to);
  bool Removed(std::string_view path);

  // Image writing; `rng` decides what of the unflushed survives.
  std::map<NodeId, std::string> CurrentPaths() const;
  Entries SurvivingEntries(const Node& dir, bool mixed, std::mt19937& rng) const;
  std::string SurvivingContents(NodeId file, const std::map<NodeId, std::string>& paths, bool mixed,
                                std::mt19937& rng) const;
  void WriteDir(NodeId dir, const std::string& image_path,
                const std::map<NodeId, std::string>& paths, bool mixed, std::mt19937& rng) const;

  std::string root_;
  std::vector<Node> nodes_;
  std::map<FileKey, NodeId> live_;  // the files and directories that have a name now
};

PowerLossModel::PowerLossModel(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  const std::optional<FileKey> key = KeyOfPath(root_);
  if (!key) Fail("cannot stat the root " + root_);
  AddNode(true, *key);
  AddBaseline(kRootNode, root_);
}

NodeId PowerLossModel::AddNode(bool is_dir, FileKey key) {
  nodes_.push_back(Node{.is_dir = is_dir, .key = key});
  live_[key] = nodes_.size() - 1;
  return nodes_.size() - 1;
}

// What the root holds when the recorder is armed is durable.
void PowerLossModel::AddBaseline(NodeId dir, const fs::path& path) {
  for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
    const std::optional<FileKey> key = KeyOfPath(entry.path());
    if (!key) Fail("cannot stat " + entry.path().string());
    const bool is_dir = entry.is_directory() && !entry.is_symlink();
    const NodeId node = AddNode(is_dir, *key);
    if (is_dir) {
      AddBaseline(node, entry.path());
    } else {
      nodes_[node].durable = ReadWhole(entry.path());
    }
    nodes_[dir].entries[entry.path().filename()] = node;
  }
  nodes_[dir].durable_entries = nodes_[dir].entries;
}

// The names below the root that lead to `path`; nothing outside the root.
std::optional<std::vector<std::string>> PowerLossModel::Components(std::string_view path) const {
  if (path.substr(0, root_.size()) != root_) return std::nullopt;
  std::string_view rest = path.substr(root_.size());
  if (!rest.empty() && rest.front() != '/') return std::nullopt;
  std::vector<std::string> names;
  std::stringstream parts{std::string(rest)};
  for (std::string name; std::getline(parts, name, '/');) {
    if (!name.empty() && name != ".") names.push_back(name);
  }
  return names;
}

std::optional<Location> PowerLossModel::Locate(std::string_view path) const {
  std::optional<std::vector<std::string>> names = Components(path);
  if (!names || names->empty()) return std::nullopt;
  NodeId dir = kRootNode;
  for (size_t i = 0; i + 1 < names->size(); ++i) {
    auto next = nodes_[dir].entries.find((*names)[i]);
    if (next == nodes_[dir].entries.end()) return std::nullopt;
    dir = next->second;
  }
  return Location{dir, names->back()};
}

std::optional<NodeId> PowerLossModel::NodeAt(std::string_view path) const {
  const std::optional<std::vector<std::string>> names = Components(path);
  if (names && names->empty()) return kRootNode;
  const std::optional<Location> location = Locate(path);
  if (!location) return std::nullopt;
  const Entries& entries = nodes_[location->dir].entries;
  auto found = entries.find(location->name);
  if (found == entries.end()) return std::nullopt;
  return found->second;
}

void PowerLossModel::ChangeEntry(NodeId dir, EntryChange change) {
  change.ApplyTo(nodes_[dir].entries);
  nodes_[dir].unflushed.push_back(std::move(change));
}

void PowerLossModel::Unlink(NodeId node) {
  auto live = live_.find(nodes_[node].key);
  if (live != live_.end() && live->second == node) live_.erase(live);
}

bool PowerLossModel::Apply(const Change& change) {
  switch (change.op) {
    case Op::kOpen:
      if ((change.open_flags & O_CREAT) == 0) return false;
      return Created(change.path, KeyOfDescriptor(change.fd), false);
    case Op::kCreateDir: return Created(change.path, KeyOfPath(std::string(change.path)), true);
    case Op::kWrite:
    case Op::kTruncate: return live_.count(KeyOfDescriptor(change.fd).value_or(FileKey{})) > 0;
    case Op::kSync:
    case Op::kDataSync: return Flushed(change.fd);
    case Op::kSyncDir: return DirFlushed(change.path);
    case Op::kRename: return Moved(change.path, change.to);
    case Op::kRemove: return Removed(change.path);
    default: return false;
  }
}

// A creating open of an existing file changes its contents only, which the
// model reads from the file itself when it needs them.
bool PowerLossModel::Created(std::string_view path, std::optional<FileKey> key, bool is_dir) {
  std::optional<Location> location = Locate(path);
  if (!location || !key) return false;
  auto existing = live_.find(*key);
  if (existing != live_.end() && NodeAt(path) == existing->second) return true;
  const NodeId node = AddNode(is_dir, *key);
  ChangeEntry(location->dir, EntryChange{location->name, node, std::nullopt});
  return true;
}

bool PowerLossModel::Flushed(int fd) {
  const std::optional<FileKey> key = KeyOfDescriptor(fd);
  auto live = key ? live_.find(*key) : live_.end();
  if (live == live_.end()) return false;
  std::string contents = ReadDescriptor(fd);
  Node& node = nodes_[live->second];
  if (contents != node.durable) {
    node.durable = std::move(contents);
    if (Survives(live->second)) ++durable_generation;
  }
  return true;
}

bool PowerLossModel::DirFlushed(std::string_view path) {
  const std::optional<NodeId> dir = NodeAt(path);
  if (!dir) return false;
  Node& node = nodes_[*dir];
  if (node.durable_entries != node.entries) {
    node.durable_entries = node.entries;
    if (Survives(*dir)) ++durable_generation;
  }
  node.unflushed.clear();
  return true;
}

// Whether durable entries lead from the root to `node`, so that what it
// holds is in an image.
bool PowerLossModel::Survives(NodeId node) const {
  std::vector<NodeId> pending{kRootNode};
  while (!pending.empty()) {
    const NodeId dir = pending.back();
    pending.pop_back();
    if (dir == node) return true;
    for (const auto& [name, child] : nodes_[dir].durable_entries) {
      if (child == node) return true;
      if (nodes_[child].is_dir) pending.push_back(child);
    }
  }
  return false;
}

bool PowerLossModel::Moved(std::string_view from, std::string_view to) {
  const std::optional<Location> source = Locate(from);
  const std::optional<Location> target = Locate(to);
  const std::optional<NodeId> node = NodeAt(from);
  if (!source || !target || !node) return false;
  if (const std::optional<NodeId> replaced = NodeAt(to)) Unlink(*replaced);
  if (source->dir == target->dir) {
    ChangeEntry(target->dir, EntryChange{target->name, *node, source->name});
  } else {
    ChangeEntry(source->dir, EntryChange{source->name, std::nullopt, std::nullopt});
    ChangeEntry(target->dir, EntryChange{target->name, *node, std::nullopt});
  }
  return true;
}

bool PowerLossModel::Removed(std::string_view path) {
  const std::optional<Location> location = Locate(path);
  const std::optional<NodeId> node = NodeAt(path);
  if (!location || !node) return false;
  Unlink(*node);
  ChangeEntry(location->dir, EntryChange{location->name, std::nullopt, std::nullopt});
  return true;
}

// The path of every file that has a name now.
std::map<NodeId, std::string> PowerLossModel::CurrentPaths() const {
  std::map<NodeId, std::string> paths;
  std::vector<std::pair<NodeId, std::string>> pending{{kRootNode, root_}};
  while (!pending.empty()) {
    auto [dir, path] = std::move(pending.back());
    pending.pop_back();
    for (const auto& [name, node] : nodes_[dir].entries) {
      std::string child = path + "/" + name;
      if (nodes_[node].is_dir) pending.emplace_back(node, child);
      paths.emplace(node, std::move(child));
    }
  }
  return paths;
}

Entries PowerLossModel::SurvivingEntries(const Node& dir, bool mixed, std::mt19937& rng) const {
  Entries entries = dir.durable_entries;
  if (!mixed) return entries;
  const size_t kept = rng() % (dir.unflushed.size() + 1);
  for (size_t i = 0; i < kept; ++i) dir.unflushed[i].ApplyTo(entries);
  return entries;
}

std::string PowerLossModel::SurvivingContents(NodeId file,
                                              const std::map<NodeId, std::string>& paths,
                                              bool mixed, std::mt19937& rng) const {
  const std::string& durable = nodes_[file].durable;
  auto path = paths.find(file);
  if (!mixed || path == paths.end()) return durable;
  std::string current = ReadWhole(path->second);
  const bool appended = current.size() > durable.size() && current.starts_with(durable);
  switch (rng() % 3) {
    case 0: return durable;
    case 1: return current;
    default:
      if (!appended) return durable;
      return current.substr(0, durable.size() + 1 + rng() % (current.size() - durable.size()));
  }
}

void PowerLossModel::WriteDir(NodeId dir, const std::string& image_path,
                              const std::map<NodeId, std::string>& paths, bool mixed,
                              std::mt19937& rng) const {
  for (const auto& [name, node] : SurvivingEntries(nodes_[dir], mixed, rng)) {
    const std::string path = image_path + "/" + name;
    if (nodes_[node].is_dir) {
      fs::create_directory(path);
      WriteDir(node, path, paths, mixed, rng);
    } else {
      WriteWhole(path, SurvivingContents(node, paths, mixed, rng));
    }
  }
}

void PowerLossModel::Write(const std::string& image_dir, Survival survival) const {
  if (!fs::create_directories(image_dir)) Fail("the image directory exists: " + image_dir);
  std::mt19937 rng(survival.seed);
  const std::map<NodeId, std::string> paths =
      survival.mixed ? CurrentPaths() : std::map<NodeId, std::string>{};
  WriteDir(kRootNode, image_dir, paths, survival.mixed, rng);
}

namespace {

std::mutex armed_mu;
PowerLossModel* armed_model = nullptr;  // under armed_mu
// Whether a model is armed; false keeps every call off the mutex while only
// faults are armed.
std::atomic<bool> recording{false};

}  // namespace

void RecordArmed(const Change& change) {
  if (!recording.load(std::memory_order_relaxed)) return;
  std::function<void(uint64_t)> observer;
  uint64_t number = 0;
  {
    std::lock_guard lock(armed_mu);
    if (armed_model == nullptr || !armed_model->Apply(change)) return;
    number = ++armed_model->changes;
    observer = armed_model->observer;
  }
  if (observer) observer(number);
}

}  // namespace internal

PowerLossRecorder::PowerLossRecorder(std::string root)
    : model_(std::make_unique<internal::PowerLossModel>(std::move(root))) {
  std::lock_guard lock(internal::armed_mu);
  if (internal::armed_model != nullptr) internal::Fail("another recorder is armed");
  internal::armed_model = model_.get();
  internal::recording.store(true, std::memory_order_relaxed);
  internal::AttachHook();
}

PowerLossRecorder::~PowerLossRecorder() {
  std::lock_guard lock(internal::armed_mu);
  internal::recording.store(false, std::memory_order_relaxed);
  internal::armed_model = nullptr;
  internal::DetachHook();
}

void PowerLossRecorder::SetObserver(std::function<void(uint64_t change)> observer) {
  std::lock_guard lock(internal::armed_mu);
  model_->observer = std::move(observer);
}

uint64_t PowerLossRecorder::changes() const {
  std::lock_guard lock(internal::armed_mu);
  return model_->changes;
}

uint64_t PowerLossRecorder::durable_generation() const {
  std::lock_guard lock(internal::armed_mu);
  return model_->durable_generation;
}

void PowerLossRecorder::WriteImage(const std::string& image_dir, Survival survival) const {
  std::lock_guard lock(internal::armed_mu);
  model_->Write(image_dir, survival);
}

}  // namespace corvantine::platform::testing
