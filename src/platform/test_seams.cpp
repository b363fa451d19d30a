// Test-only seams that both backends share.
#include <atomic>
#include <mutex>
#include <utility>

#include "platform/clock_backend.h"
#include "platform/files_backend.h"
#include "platform/process_backend.h"
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

std::mutex replaceHookMutex;
std::function<void(const std::string&)> replaceHook;

}  // namespace

void failFileReplacementForTesting(std::uint32_t errorCode) {
  forcedReplacement().store(errorCode);
}

std::uint32_t backend::forcedReplacementFailure() {
  return forcedReplacement().load();
}

void setBeforeReplaceHookForTesting(std::function<void(const std::string&)> hook) {
  std::lock_guard<std::mutex> guard(replaceHookMutex);
  replaceHook = std::move(hook);
}

void backend::beforeReplaceForTesting(const std::string& target) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> guard(replaceHookMutex);
    hook = replaceHook;
  }
  if (hook)
    hook(target);
}

void failJobAssignmentForTesting(std::uint32_t errorCode) {
  forcedJobFailure().store(errorCode);
}

std::uint32_t backend::forcedJobAssignmentFailure() {
  return forcedJobFailure().load();
}

}  // namespace tavrelon::platform
