// The route table and the serving of one complete request.
//
// HandleConnection runs on a worker thread: it matches the request's exact
// method and path against the table, lets the public routes through, sends
// every other request through the authentication gate (401 "unauthorized"
// when refused), serves the matching protected route or answers 404
// "not_found", and closes the socket. Handlers are plain functions of their
// inputs returning a ReplyDocument; only the status page and the chunk
// download write to the socket themselves. Nothing a handler throws escapes:
// the connection is then closed without a reply. Thread-safe.
#pragma once

#include "http/http_request.h"
#include "platform/net.h"

namespace kelvra {

void HandleConnection(platform::Socket s, const HttpRequest& request);

}  // namespace kelvra
