#include "debuglog/debug_run.hpp"

// Placeholder until the capture lands; the dialog links against it.
void process_debug_log() {}
