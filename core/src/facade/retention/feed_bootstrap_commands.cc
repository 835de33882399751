// The feed-bootstrap handlers of the sequencer.
#include "facade/retention/feed_bootstrap.h"
#include "facade/engine/sequencer.h"

namespace corvantine::facade {

EngineResult<std::string> Sequencer::Handle(command::FetchFeedBootstrap& command) {
  return FetchFeedBootstrap(*db_, command.descriptor, command.maximum_bytes);
}

EngineResult<FeedHandle> Sequencer::Handle(command::ResumeFeed& command) {
  return feeds_.Resume(*db_, command.descriptor, command.max_batches, command.max_bytes);
}

}  // namespace corvantine::facade
