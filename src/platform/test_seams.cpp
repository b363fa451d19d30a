// Test-only seams that both backends share.
#include <atomic>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/test_seams.h"

namespace tavrelon::platform {

namespace {

std::atomic<std::uint32_t>& forcedJobFailure() {
  static std::atomic<std::uint32_t> code{0};
  return code;
}

std::atomic<std::uint32_t>& forcedReplacement() {
  static std::atomic<std::uint32_t> code{0};
  return code;
}

}  // namespace

void failFileReplacementForTesting(std::uint32_t errorCode) {
  forcedReplacement().store(errorCode);
}

std::uint32_t backend::forcedReplacementFailure() {
  return forcedReplacement().load();
}

void failJobAssignmentForTesting(std::uint32_t errorCode) {
  forcedJobFailure().store(errorCode);
}

std::uint32_t backend::forcedJobAssignmentFailure() {
  return forcedJobFailure().load();
}

}  // namespace tavrelon::platform
