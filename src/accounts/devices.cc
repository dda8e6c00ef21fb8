#include "accounts/devices.h"

#include <string>

#include "common/clock.h"
#include "common/numbers.h"
#include "db/relay_db.h"

namespace kelvra {

void UpsertDevice(int32_t user_id, std::string_view name, std::string_view env) {
  DbRun(
      "INSERT INTO devices(user_id,name,env,last_seen) VALUES(?,?,?,?) "
      "ON CONFLICT(user_id,name) DO UPDATE SET env=excluded.env,last_seen=excluded.last_seen",
      {std::to_string(user_id), name, env, std::to_string(NowMillis())});
}

nlohmann::json ListDevices(int32_t user_id) {
  nlohmann::json list = nlohmann::json::array();
  DbRows rows = DbQuery(
      "SELECT name,env,last_seen FROM devices WHERE user_id=? ORDER BY last_seen DESC",
      {std::to_string(user_id)});
  for (const DbRow& row : rows) {
    nlohmann::json device = nlohmann::json::object();
    device["name"] = row[0];
    device["env"] = row[1];
    device["lastSeen"] = ParseLeadingInt64(row[2]);
    list.push_back(std::move(device));
  }
  return list;
}

ReplyDocument HandleHeartbeat(int32_t user_id, const RequestDocument& doc) {
  std::string device = FieldText(doc, "device", "");
  if (!device.empty()) UpsertDevice(user_id, device, FieldText(doc, "env", "other"));
  ReplyDocument reply = ReplyDocument::object();
  reply["ok"] = true;
  reply["online"] = ListDevices(user_id);
  reply["serverTime"] = NowMillis();
  return reply;
}

}  // namespace kelvra
