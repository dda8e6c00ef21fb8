// The route table and the answering of one complete request.
//
// RouteRequest runs on a worker thread: it matches the request's exact
// method and path against the table, parses the body of the routes that
// read one, lets the public routes through, sends every other request
// through the authentication gate (401 "unauthorized" when refused), and
// answers with the matching protected route or 404 "not_found". The
// heartbeat runs gate and handler as one write transaction. Handlers are plain functions of their inputs returning a
// ReplyDocument (the status page its HTML, the chunk download the head and
// the file to stream); none touches a socket. Nothing a handler throws
// escapes: the answer is then an empty Response (close without a reply).
// Thread-safe.
#pragma once

#include "http/http_request.h"
#include "http/reply.h"

namespace kelvra {

Response RouteRequest(const HttpRequest& request);

// How long answering a request may take, which decides who answers it.
enum class RequestWeight {
  // Reads the database without writing and waits for nothing else (the
  // status document): the event loop may answer it itself while it can take
  // DbLock without waiting.
  Instant,
  // A few statements and nothing else to wait for (registration, login,
  // heartbeat, the status page, refusals): a few workers are enough, and
  // more would only queue up on DbLock.
  Quick,
  // May wait on files, the network, a large body or a long transaction
  // (chunk upload and download, push, manifest).
  Heavy,
};
RequestWeight WeighRequest(const HttpRequest& request);

}  // namespace kelvra
