#include "http/gate.h"

#include <string>

#include "common/clock.h"
#include "common/numbers.h"
#include "db/relay_db.h"

namespace kelvra {

std::optional<int32_t> AuthenticateToken(std::string_view token) {
  if (token.size() != SessionTokenLength) return std::nullopt;
  DbRows rows = DbQuery("SELECT user_id,expires FROM sessions WHERE token=?", {token});
  if (rows.empty()) return std::nullopt;
  int64_t expires = ParseLeadingInt64(rows[0][1]);
  int64_t now = NowSeconds();
  if (expires < now) return std::nullopt;
  // Renew; a session already renewed within this second holds the value
  // the update would write, so the write is spared.
  int64_t renewed = now + SessionLifetime;
  if (expires != renewed) {
    DbRun("UPDATE sessions SET expires=? WHERE token=?", {std::to_string(renewed), token});
  }
  int32_t user_id = ParseLeadingInt32(rows[0][0]);
  if (user_id < 0) return std::nullopt;
  return user_id;
}

}  // namespace kelvra
