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
  sequencer->retention_.Restore(*sequencer->db_);
  sequencer->PublishDurableHead();
  return sequencer;
}

Sequencer::Sequencer(std::unique_ptr<db::Corvantine> db, FeedSignal& feed,
                     const OpenConfig& config)
    : db_(std::move(db)), feed_(feed), projections_(*db_, next_handle_, config) {}

void Sequencer::Run(MessageQueue<Command>& commands, std::vector<Command>& batch) {
  for (;;) {
    commands.TakeAll(&batch);
    do {
      for (Command& command : batch) {
        if (!Execute(command)) return;
      }
      batch.clear();
    } while (ExpectsMoreWaiters() &&
             commands.TakeAllUntil(group_opened_ + last_flush_nanos_, &batch));
    EndAppendGroup();  // nothing is queued behind it
  }
}

bool Sequencer::ExpectsMoreWaiters() const {
  return !held_answers_.empty() && held_answers_.size() < expected_waiters_;
}

template <typename C>
bool Sequencer::Execute(C& command) {
  EndAppendGroup();
  auto answer = Handle(command);
  PublishDurableHead();
  command.reply.Send(std::move(answer));
  return true;
}

bool Sequencer::Execute(Command& command) {
  ThrowIfArmedForTesting();
  return std::visit([this](auto& c) { return Execute(c); }, command);
}

bool Sequencer::Execute(command::Shutdown& shutdown) {
  EndAppendGroup();
  shutdown.ack.Send({});
  return false;
}

bool Sequencer::Execute(command::Append& append) {
  AppendToGroup(append);
  return true;
}

void Sequencer::PublishDurableHead() { feed_.Publish(db_->durable_head()); }

}  // namespace corvantine::facade
