#pragma once
#include "front_end/worker_payload.h"

namespace yoxa {

// The worker copy of the engine: runs the install pipeline for the payload and
// streams its events over the event pipe. Returns the process exit code.
int run_json_worker(const JsonRunPayload& payload);

}  // namespace yoxa
