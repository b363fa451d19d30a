#include "platform/process_identity.h"

#include "platform/backend.h"

namespace tavrelon::platform {

std::uint32_t ownProcessId() {
  return backend::currentProcessId();
}

}  // namespace tavrelon::platform
