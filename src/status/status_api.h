// GET /api/status.php: the public JSON summary of the server (version,
// counts, clock). Thread-safe.
#pragma once

#include "http/reply.h"

namespace kelvra {

ReplyDocument HandleStatusDocument();

}  // namespace kelvra
