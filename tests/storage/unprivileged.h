// Forwards to the shared test support (kept for includes elsewhere).
#pragma once
#include "support/unprivileged.h"
#if !defined(_WIN32)
namespace storagetest {
using testsupport::RunUnprivileged;
}
#endif
