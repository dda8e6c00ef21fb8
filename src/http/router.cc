#include "http/router.h"

#include <cstdint>
#include <string_view>

#include "accounts/account_handlers.h"
#include "accounts/devices.h"
#include "chunkstore/chunk_store.h"
#include "db/relay_db.h"
#include "http/gate.h"
#include "http/limits.h"
#include "http/reply.h"
#include "http/request_document.h"
#include "status/status_api.h"
#include "status/status_page.h"
#include "sync/manifest.h"
#include "sync/push.h"

namespace kelvra {

namespace {

struct RouteInput {
  const HttpRequest& request;
  const RequestDocument& doc;  // null unless the route reads a document
  int32_t user_id;             // meaningful on session routes only
};

using Serve = Response (*)(const RouteInput& in);

enum class Access {
  Public,
  Session,
  // Gate and handler run as one write transaction: for short handlers that
  // only touch the database, one lock and one commit instead of several.
  SessionOneTransaction,
};

struct Route {
  std::string_view method;
  std::string_view path;
  Access access;
  bool reads_document;
  RequestWeight weight;
  Serve serve;
};

constexpr auto Instant = RequestWeight::Instant;
constexpr auto Quick = RequestWeight::Quick;
constexpr auto Heavy = RequestWeight::Heavy;

Response Reply(const ReplyDocument& reply) { return JsonReply(reply, 200); }

Response ServePage(const RouteInput&) { return HtmlReply(StatusPage()); }
Response ServeStatus(const RouteInput&) { return Reply(HandleStatusDocument()); }
Response ServeRegister(const RouteInput& in) { return Reply(HandleRegister(in.doc)); }
Response ServeLogin(const RouteInput& in) { return Reply(HandleLogin(in.doc)); }
Response ServeManifest(const RouteInput& in) {
  return JsonTextReply(HandleManifest(in.user_id, QueryParam(in.request, "since")), 200);
}
Response ServeUpload(const RouteInput& in) { return Reply(HandleChunkUpload(in.request)); }
Response ServeHeartbeat(const RouteInput& in) { return Reply(HandleHeartbeat(in.user_id, in.doc)); }
Response ServePush(const RouteInput& in) { return Reply(HandlePush(in.user_id, in.doc)); }
Response ServeDownload(const RouteInput& in) { return ChunkDownload(in.request); }

// Tested top to bottom; method and path must match exactly.
constexpr Route Routes[] = {
    {"GET", "/status", Access::Public, false, Quick, ServePage},
    {"GET", "/", Access::Public, false, Quick, ServePage},
    {"GET", "/api/status.php", Access::Public, false, Instant, ServeStatus},
    {"POST", "/api/register.php", Access::Public, true, Quick, ServeRegister},
    {"POST", "/api/login.php", Access::Public, true, Quick, ServeLogin},
    {"GET", "/api/manifest.php", Access::Session, false, Heavy, ServeManifest},
    {"PUT", "/api/chunk.php", Access::Session, false, Heavy, ServeUpload},
    {"POST", "/api/heartbeat.php", Access::SessionOneTransaction, true, Quick, ServeHeartbeat},
    {"POST", "/api/push.php", Access::Session, true, Heavy, ServePush},
    {"GET", "/api/chunk.php", Access::Session, false, Heavy, ServeDownload},
};

const Route* FindRoute(const HttpRequest& request) {
  for (const Route& route : Routes) {
    if (route.method == request.method && route.path == request.path) return &route;
  }
  return nullptr;
}

Response GateAndServe(const Route* route, const HttpRequest& request, const RequestDocument& doc) {
  std::optional<int32_t> user_id = AuthenticateToken(request.authToken);
  if (!user_id) return JsonReply(FailureReply("unauthorized"), 401);
  if (route == nullptr) return JsonReply(FailureReply("not_found"), 404);
  return route->serve({request, doc, *user_id});
}

Response Dispatch(const HttpRequest& request) {
  const Route* route = FindRoute(request);
  // Parsed before any lock is taken; the parse of a large body is slow.
  RequestDocument doc = route != nullptr && route->reads_document
                            ? ParseRequestDocument(request.method, request.body)
                            : RequestDocument();
  if (route != nullptr && route->access == Access::Public) return route->serve({request, doc, 0});
  if (route == nullptr || route->access == Access::Session) {
    return GateAndServe(route, request, doc);
  }
  // Committed whatever the outcome: a refused request keeps the renewal
  // the gate made before it refused (a negative user id).
  DbTransaction txn(DbTransaction::Mode::Write);
  Response response = GateAndServe(route, request, doc);
  txn.Commit();
  return response;
}

}  // namespace

RequestWeight WeighRequest(const HttpRequest& request) {
  // A large body takes long to parse, whatever the route.
  if (request.body.size() > LargeBodyBytes) return Heavy;
  const Route* route = FindRoute(request);
  return route != nullptr ? route->weight : Quick;  // no route: a refusal
}

Response RouteRequest(const HttpRequest& request) {
  try {
    return Dispatch(request);
  } catch (...) {
    // A handler failure ends this connection only, without a reply.
    return Response();
  }
}

}  // namespace kelvra
