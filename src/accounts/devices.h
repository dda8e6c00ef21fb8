// The device registry and the heartbeat.
//
// UpsertDevice records that a device of an account was seen now (adding it,
// or replacing its env and last_seen). ListDevices gives the account's
// devices as JSON documents {"env","lastSeen","name"}, most recently seen
// first. HandleHeartbeat is the POST /api/heartbeat.php handler. All
// thread-safe; each is one statement under DbLock.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string_view>

#include "http/reply.h"
#include "http/request_document.h"

namespace kelvra {

void UpsertDevice(int32_t user_id, std::string_view name, std::string_view env);
nlohmann::json ListDevices(int32_t user_id);

ReplyDocument HandleHeartbeat(int32_t user_id, const RequestDocument& doc);

}  // namespace kelvra
