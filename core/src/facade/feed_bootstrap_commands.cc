// The feed-bootstrap handlers of the sequencer.
#include "facade/sequencer.h"

namespace corvantine::facade {

EngineResult<std::string> Sequencer::Handle(command::FetchFeedBootstrap&) {
  return EngineError::Internal("feed bootstraps are not built yet");
}

EngineResult<FeedHandle> Sequencer::Handle(command::ResumeFeed&) {
  return EngineError::Internal("feed bootstraps are not built yet");
}

}  // namespace corvantine::facade
