#include "platform/process_identity.h"

#include "platform/process_backend.h"

namespace tavrelon::platform {

std::uint32_t ownProcessId() {
  return backend::currentProcessId();
}

}  // namespace tavrelon::platform
