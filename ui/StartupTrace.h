#pragma once

namespace brindle {

// With BRINDLE_STARTUP_TRACE set in the environment, the time from the start of main() (and from
// the start of the process) to the main window's first paint goes to stderr, with the resident
// memory at that moment.
void markStartup();
void reportFirstPaint();

} // namespace brindle
