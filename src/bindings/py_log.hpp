#pragma once

// Log records of the engine, written through loguru from a module of the quorvel package so
// that they carry its name (logger.disable("quorvel") silences them).

#include "quorvel/factory.hpp"

namespace quorvel::py {

// Logs, as warnings, what the factory's loads found worth telling (GIL held).
void logLoadWarnings(BehaviorTreeFactory& factory);

}  // namespace quorvel::py
