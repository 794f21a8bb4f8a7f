// The shipped plug-in's run tuning: the status port and the 15-second quiet time-out, with nothing to override them.
#include "plugin.h"

RunTuning ReadRunTuning() { return RunTuning{STATUS_PORT, kQuietTimeoutMs}; }
