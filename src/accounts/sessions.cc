#include "accounts/sessions.h"

#include <random>

#include "common/clock.h"
#include "common/sha256.h"
#include "db/relay_db.h"
#include "http/gate.h"
#include "platform/process.h"

namespace kelvra {

namespace {

constexpr int MaxTokenAttempts = 8;

}  // namespace

std::string NewTokenText() {
  unsigned char bytes[32] = {};
  if (!platform::SystemRandomBytes(bytes, sizeof(bytes))) {
    // Last resort when the system source fails: seeded by the millisecond.
    // Two sessions made in the same millisecond then collide, which the
    // insert check in CreateSession catches.
    std::minstd_rand generator(static_cast<uint32_t>(NowMillis()));
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(generator() & 0xff);
  }
  return HexLower(bytes, sizeof(bytes));
}

std::string CreateSession(int32_t user_id, std::string_view device) {
  std::string user = std::to_string(user_id);
  for (int attempt = 0; attempt < MaxTokenAttempts; ++attempt) {
    std::string token = NewTokenText();
    std::string expires = std::to_string(NowSeconds() + SessionLifetime);
    if (DbRun("INSERT INTO sessions(token,user_id,device,expires) VALUES(?,?,?,?)",
              {token, user, device, expires}) == 1) {
      return token;
    }
  }
  return std::string();
}

}  // namespace kelvra
