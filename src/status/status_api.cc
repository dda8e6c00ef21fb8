#include "status/status_api.h"

#include "common/clock.h"
#include "common/process_state.h"
#include "status/status_counts.h"

namespace kelvra {

ReplyDocument HandleStatusDocument() {
  StatusCounts counts = ReadStatusCounts();
  ReplyDocument reply = ReplyDocument::object();
  reply["chunkBytes"] = counts.chunk_bytes;
  reply["chunks"] = counts.chunks;
  reply["files"] = counts.files;
  reply["ok"] = true;
  reply["serverTime"] = NowMillis();
  reply["users"] = counts.users;
  reply["version"] = ServerVersion;
  return reply;
}

}  // namespace kelvra
