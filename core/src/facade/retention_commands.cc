// The retention handlers of the sequencer.
#include "facade/sequencer.h"

namespace corvantine::facade {

namespace {

EngineError NotBuilt() { return EngineError::Internal("retention is not built yet"); }

}  // namespace

EngineResult<RetentionStatusDto> Sequencer::Handle(command::RetentionStatus&) { return NotBuilt(); }
EngineResult<RetentionPlan> Sequencer::Handle(command::PlanRetention&) { return NotBuilt(); }
EngineResult<RetentionPolicyPreview> Sequencer::Handle(command::PlanRetentionPolicy&) {
  return NotBuilt();
}
EngineResult<RetentionAnchorInfo> Sequencer::Handle(command::CreateRetentionAnchor&) {
  return NotBuilt();
}
EngineResult<RetentionApplyResult> Sequencer::Handle(command::ApplyRetention&) {
  return NotBuilt();
}
EngineResult<uint64_t> Sequencer::Handle(command::RegisterBranchBootstrap&) { return NotBuilt(); }
EngineResult<uint64_t> Sequencer::Handle(command::RegisterConsumerBootstrap&) {
  return NotBuilt();
}
EngineResult<std::optional<std::string>> Sequencer::Handle(command::BranchBootstrap&) {
  return NotBuilt();
}
EngineResult<std::optional<std::string>> Sequencer::Handle(command::ConsumerBootstrap&) {
  return NotBuilt();
}

}  // namespace corvantine::facade
