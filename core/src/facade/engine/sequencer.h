// The sequencer: the engine's one worker thread. It owns the database and
// every piece of engine state, and executes the commands of all handles one
// at a time, in arrival order; nothing else touches that state, so none of
// it is locked. There is no timer: group commit is decided inside appends
// (facade/engine/commit_group.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "db/db.h"
#include "facade/engine/branches.h"
#include "facade/engine/channel.h"
#include "facade/engine/command.h"
#include "facade/engine/commit_group.h"
#include "facade/engine/engine.h"
#include "facade/engine/error.h"
#include "facade/engine/feed_signal.h"
#include "facade/engine/readers.h"
#include "facade/feed/feeds.h"
#include "facade/retention/retention_commands.h"
#include "facade/view/projections.h"

namespace corvantine::facade {

// What an engine's handles share with its sequencer thread. The thread holds
// this, never a handle, so dropping the last handle can join it.
struct EngineShared {
  MessageQueue<Command> commands;
  FeedSignal feed;
  std::atomic<bool> panicked{false};  // the thread ended by an exception
};

// The body of the sequencer thread. Blocks every asynchronous signal (a
// Ctrl+C is never taken here, so it cannot interrupt the engine's I/O),
// names the thread, opens the database and reports on `ready`, then
// executes commands until a Shutdown. At the end it drops the database,
// which releases the directory lock, before anything else is answered:
// the commands queued behind the Shutdown and those sent later find the
// engine closed. An exception that escapes start-up or a handler ends the
// thread the same way, with `panicked` set.
void RunSequencer(OpenConfig config, std::shared_ptr<EngineShared> shared,
                  ReplySender<EngineResult<>> ready);

namespace testing {

// Makes the next start-up (once its database is open) or command handler of
// any engine in the process throw, as a defect would.
void ThrowAtNextStep();

}  // namespace testing

// Routes each command to the component that handles it (`Handle`), and
// answers it. The components hold the engine's state, one feature each, and
// reach the database and the few services they share through references
// given at construction.
class Sequencer {
 public:
  // Opens the database and publishes its durable head. On failure nothing
  // stays open.
  static EngineResult<std::unique_ptr<Sequencer>> Start(const OpenConfig& config,
                                                        FeedSignal& feed);

  Sequencer(const Sequencer&) = delete;
  Sequencer& operator=(const Sequencer&) = delete;

  // Executes commands in arrival order until a Shutdown, which it
  // acknowledges. `batch` receives the commands taken from the queue; those
  // behind the Shutdown are left in it.
  void Run(MessageQueue<Command>& commands, std::vector<Command>& batch);

 private:
  Sequencer(std::unique_ptr<db::Corvantine> db, FeedSignal& feed, const OpenConfig& config);

  // Executes one command and answers it, or holds the answer of an append;
  // false for a Shutdown. Every command but an append ends the open commit
  // group first.
  bool Execute(Command& command);
  bool Execute(command::Shutdown& shutdown);
  bool Execute(command::Append& append);
  template <typename C>
  bool Execute(C& command);
  // The answer of the component whose `Handle` takes the command.
  template <typename C>
  auto Route(C& command);

  // Declared in the reverse of the order they are dropped in at shutdown:
  // queries first, then retention state, feeds and checkpoints, readers,
  // the database, and last the open commit group, so that the callers of
  // answers it holds when the thread ends by an exception find the engine
  // closed only once the directory lock is free.
  CommitGroup commit_group_;
  std::unique_ptr<db::Corvantine> db_;
  Branches branches_;
  uint64_t next_handle_ = 1;  // shared by readers, feeds and queries
  Readers readers_;
  Feeds feeds_;
  Retention retention_;
  Projections projections_;
};

}  // namespace corvantine::facade
