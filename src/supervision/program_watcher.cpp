#include "supervision/program_watcher.h"

namespace tavrelon {

// Placeholders until supervision lands.
ProgramWatcher::ProgramWatcher() = default;
ProgramWatcher::ProgramWatcher(ProgramConfig settings) : config(std::move(settings)) {}
ProgramWatcher::ProgramWatcher(ProgramWatcher&&) noexcept = default;
ProgramWatcher& ProgramWatcher::operator=(ProgramWatcher&&) noexcept = default;
ProgramWatcher::~ProgramWatcher() = default;
void ProgramWatcher::start() {}
void ProgramWatcher::monitor() {}
void ProgramWatcher::startTest(std::string) {}
void ProgramWatcher::stop() {}

}  // namespace tavrelon
