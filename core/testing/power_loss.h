// What a power failure would leave on disk, for tests. Killing a process
// keeps the page cache, so a crash test that kills one cannot tell whether a
// file or a directory was flushed; this recorder can. While it is armed it
// follows every call of platform/platform.h that changes a file or a
// directory under its root, and keeps:
//
//   - per file, its contents as of its last fsync or fdatasync;
//   - per directory, its entries (name -> file) as of its last directory
//     flush, and the creations, renames and removals made since, in order.
//
// WriteImage builds, in another directory, what the root would hold if the
// power failed now: the durable entries of each directory down from the
// root, each file with its durable contents. So a file whose entry survives
// but which was never flushed is empty, and a directory created but never
// flushed into its parent is missing with everything in it. The root and
// what it held when the recorder was armed count as durable.
//
// A test runs a workload under the recorder and takes an image at the cut
// points it chooses, from the observer that runs after every change:
//
//   testing::PowerLossRecorder recorder(dir.path());
//   recorder.SetObserver([&](uint64_t change) {
//     recorder.WriteImage(ImageDir(change), testing::Survival::FlushedOnly());
//   });
//   RunWorkload(dir.path());
//
// then opens each image and checks it against what the workload had been
// told was durable by then.
//
// One recorder may be armed at a time; calls on paths outside its root are
// not recorded. It follows the calls through the hook of platform/hook.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace corvantine::platform::testing {

namespace internal {
class PowerLossModel;
}  // namespace internal

// How much of what was not flushed survives in an image.
struct Survival {
  // False: nothing (the strongest test). True: a share chosen from `seed`:
  // each directory keeps a prefix of its unflushed changes, and each file
  // keeps its flushed contents, or those plus a prefix of what was appended
  // after them, or (when it was rewritten) its current contents.
  bool mixed = false;
  uint32_t seed = 0;

  static Survival FlushedOnly() { return {}; }
  static Survival Mixed(uint32_t seed) { return {true, seed}; }
};

class PowerLossRecorder {
 public:
  // Arms the recorder on the existing directory `root`. Aborts when another
  // recorder is armed or the root cannot be read.
  explicit PowerLossRecorder(std::string root);
  ~PowerLossRecorder();
  PowerLossRecorder(const PowerLossRecorder&) = delete;
  PowerLossRecorder& operator=(const PowerLossRecorder&) = delete;

  // Runs `observer` after every recorded change with its number (1 for the
  // first), on the thread that made the call. It may call WriteImage, and
  // must make no call of platform/platform.h.
  void SetObserver(std::function<void(uint64_t change)> observer);

  // Changes recorded so far.
  uint64_t changes() const;
  // Moves whenever a flush changes what would survive: FlushedOnly images
  // taken at the same generation are identical. (A flush of a file or a
  // directory that no durable entry leads to does not move it.)
  uint64_t durable_generation() const;

  // Writes into `image_dir`, which must not exist, what the root would hold
  // if the power failed now. Aborts when it cannot.
  void WriteImage(const std::string& image_dir, Survival survival) const;

 private:
  std::unique_ptr<internal::PowerLossModel> model_;
};

}  // namespace corvantine::platform::testing
