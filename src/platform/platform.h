// Operating-system services used by the rest of the watchdog, one header per
// service; this header gathers them. Each service's portable file holds its
// logic over primitives that src/platform/posix or src/platform/win32 supply
// (CMake compiles exactly one of them). Callers see plain types only.
#pragma once

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/watchdog_process.h"
