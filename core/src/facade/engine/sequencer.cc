#include "facade/engine/sequencer.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace corvantine::facade {

namespace {

constexpr char kThreadName[] = "corvantine-sequencer";

std::atomic<bool> throw_at_next_step{false};

void ThrowIfArmedForTesting() {
  if (throw_at_next_step.load(std::memory_order_relaxed) &&
      throw_at_next_step.exchange(false)) {
    throw std::logic_error("injected sequencer failure");
  }
}

// Leaves only the signals that the thread's own faults raise deliverable.
void BlockAsynchronousSignals() {
  sigset_t signals;
  sigfillset(&signals);
  for (int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
    sigdelset(&signals, synchronous);
  }
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void NameThisThread() {
#if defined(__linux__)
  char name[16] = {};  // Linux keeps at most 15 bytes
  std::char_traits<char>::copy(name, kThreadName, sizeof name - 1);
  pthread_setname_np(pthread_self(), name);
#elif defined(__APPLE__)
  pthread_setname_np(kThreadName);
#endif
}

}  // namespace

namespace testing {

void ThrowAtNextStep() { throw_at_next_step.store(true); }

}  // namespace testing

void RunSequencer(OpenConfig config, std::shared_ptr<EngineShared> shared,
                  ReplySender<EngineResult<>> ready) {
  BlockAsynchronousSignals();
  NameThisThread();
  std::unique_ptr<Sequencer> sequencer;
  std::vector<Command> batch;
  try {
    EngineResult<std::unique_ptr<Sequencer>> started = Sequencer::Start(config, shared->feed);
    if (started.ok()) {
      sequencer = std::move(started).value();
      ready.Send({});
      sequencer->Run(shared->commands, batch);
    } else {
      ready.Send(std::move(started).error());
    }
  } catch (...) {
    shared->panicked.store(true, std::memory_order_release);
  }
  sequencer.reset();
  batch.clear();
  shared->commands.Close();
}

EngineResult<std::unique_ptr<Sequencer>> Sequencer::Start(const OpenConfig& config,
                                                          FeedSignal& feed) {
  db::CommitPolicy policy{config.commit_every_bytes, config.commit_every_count,
                          config.commit_every_millis};
  Result<std::unique_ptr<db::Corvantine>> db =
      db::Corvantine::OpenInternal(config.path, policy, config.segment_bytes);
  if (!db.ok()) return EngineError::FromCore(db.error());
  ThrowIfArmedForTesting();
  std::unique_ptr<Sequencer> sequencer(new Sequencer(std::move(db).value(), feed, config));
  // Consumer records are read before registrations, so theirs is the error
  // an open reports when both kinds are unreadable.
  CVN_TRY(sequencer->feeds_.Restore(*sequencer->db_));
  CVN_TRY(sequencer->projections_.Restore());
  sequencer->retention_.Restore();
  sequencer->commit_group_.PublishDurableHead();
  return sequencer;
}

// The commit group is declared first, so that it is dropped last; it is
// given the database before the sequencer takes it over, and the views
// before they are built, to drive them only once commands come.
Sequencer::Sequencer(std::unique_ptr<db::Corvantine> db, FeedSignal& feed,
                     const OpenConfig& config)
    : commit_group_(*db, feed, projections_),
      db_(std::move(db)),
      branches_(*db_),
      readers_(*db_, next_handle_),
      feeds_(*db_, next_handle_),
      retention_(*db_, readers_, feeds_, projections_),
      projections_(*db_, next_handle_, config) {}

void Sequencer::Run(MessageQueue<Command>& commands, std::vector<Command>& batch) {
  for (;;) {
    commands.TakeAll(&batch);
    do {
      for (Command& command : batch) {
        if (!Execute(command)) return;
      }
      batch.clear();
    } while (commit_group_.ExpectsMoreWaiters() &&
             commands.TakeAllUntil(commit_group_.WaitDeadline(), &batch));
    commit_group_.EndAppendGroup();  // nothing is queued behind it
  }
}

template <typename C>
auto Sequencer::Route(C& command) {
  static_assert(requires { commit_group_.Handle(command); } +
                        requires { branches_.Handle(command); } +
                        requires { readers_.Handle(command); } +
                        requires { feeds_.Handle(command); } +
                        requires { retention_.Handle(command); } +
                        requires { projections_.Handle(command); } ==
                    1,
                "exactly one component handles each command");
  if constexpr (requires { commit_group_.Handle(command); }) {
    return commit_group_.Handle(command);
  } else if constexpr (requires { branches_.Handle(command); }) {
    return branches_.Handle(command);
  } else if constexpr (requires { readers_.Handle(command); }) {
    return readers_.Handle(command);
  } else if constexpr (requires { feeds_.Handle(command); }) {
    return feeds_.Handle(command);
  } else if constexpr (requires { retention_.Handle(command); }) {
    return retention_.Handle(command);
  } else {
    return projections_.Handle(command);
  }
}

template <typename C>
bool Sequencer::Execute(C& command) {
  commit_group_.EndAppendGroup();
  auto answer = Route(command);
  commit_group_.PublishDurableHead();
  command.reply.Send(std::move(answer));
  return true;
}

bool Sequencer::Execute(Command& command) {
  ThrowIfArmedForTesting();
  return std::visit([this](auto& c) { return Execute(c); }, command);
}

bool Sequencer::Execute(command::Shutdown& shutdown) {
  commit_group_.EndAppendGroup();
  shutdown.ack.Send({});
  return false;
}

bool Sequencer::Execute(command::Append& append) {
  commit_group_.AppendToGroup(append);
  return true;
}

}  // namespace corvantine::facade
