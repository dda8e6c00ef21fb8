// Registration and login, the two API operations that need no session.
//
// Both read "account", "password", "device" and "env" (default "other"),
// record the device and hand out a new session token. Registration
// validates by bytes (account 1..64, password >= 6, device not empty) and
// logs "注册账号: <account> 设备: <device>" on success. Login refuses an
// unknown account and a wrong password with the same "bad_credentials"
// reply. When the database fails (no row to read back, no session stored)
// the reply is {"err":"io","ok":false}, never a token that does not work.
// Thread-safe.
#pragma once

#include "http/reply.h"
#include "http/request_document.h"

namespace kelvra {

ReplyDocument HandleRegister(const RequestDocument& doc);
ReplyDocument HandleLogin(const RequestDocument& doc);

}  // namespace kelvra
