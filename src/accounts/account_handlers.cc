#include "accounts/account_handlers.h"

#include <string>

#include "accounts/devices.h"
#include "accounts/sessions.h"
#include "common/clock.h"
#include "common/numbers.h"
#include "common/sha256.h"
#include "db/relay_db.h"
#include "log/service_log.h"

namespace kelvra {

namespace {

constexpr size_t MaxAccountBytes = 64;
constexpr size_t MinPasswordBytes = 6;

struct Credentials {
  std::string account;
  std::string password;
  std::string device;
  std::string env;
};

Credentials ReadCredentials(const RequestDocument& doc) {
  return {FieldText(doc, "account", ""), FieldText(doc, "password", ""),
          FieldText(doc, "device", ""), FieldText(doc, "env", "other")};
}

ReplyDocument SessionReply(const std::string& token) {
  ReplyDocument reply = ReplyDocument::object();
  reply["ok"] = true;
  reply["token"] = token;
  reply["serverTime"] = NowMillis();
  return reply;
}

}  // namespace

ReplyDocument HandleRegister(const RequestDocument& doc) {
  Credentials c = ReadCredentials(doc);
  if (c.account.empty() || c.account.size() > MaxAccountBytes ||
      c.password.size() < MinPasswordBytes || c.device.empty()) {
    return FailureReply("invalid_input");
  }
  if (!DbQuery("SELECT 1 FROM users WHERE account=?", {c.account}).empty()) {
    return FailureReply("account_exists");
  }
  int inserted = DbRun("INSERT INTO users(account,pass_hash,created_at) VALUES(?,?,?)",
                       {c.account, Sha256Hex(c.password), std::to_string(NowMillis())});
  DbRows rows = DbQuery("SELECT id FROM users WHERE account=?", {c.account});
  // An insert that did not take effect while the name now exists lost a race
  // with a simultaneous registration: the account is someone else's.
  if (inserted != 1) return FailureReply(rows.empty() ? "io" : "account_exists");
  if (rows.empty()) return FailureReply("io");
  int32_t user_id = ParseLeadingInt32(rows[0][0]);
  UpsertDevice(user_id, c.device, c.env);
  LogMessage("注册账号: " + c.account + " 设备: " + c.device);
  std::string token = CreateSession(user_id, c.device);
  if (token.empty()) return FailureReply("io");
  return SessionReply(token);
}

ReplyDocument HandleLogin(const RequestDocument& doc) {
  Credentials c = ReadCredentials(doc);
  DbRows rows = DbQuery("SELECT id,pass_hash FROM users WHERE account=?", {c.account});
  if (rows.empty() || Sha256Hex(c.password) != rows[0][1]) {
    return FailureReply("bad_credentials");
  }
  int32_t user_id = ParseLeadingInt32(rows[0][0]);
  UpsertDevice(user_id, c.device, c.env);
  std::string token = CreateSession(user_id, c.device);
  if (token.empty()) return FailureReply("io");
  ReplyDocument reply = SessionReply(token);
  reply["devices"] = ListDevices(user_id);
  return reply;
}

}  // namespace kelvra
