#include "http/router.h"

#include <cstdint>
#include <string_view>

#include "accounts/account_handlers.h"
#include "accounts/devices.h"
#include "chunkstore/chunk_store.h"
#include "http/gate.h"
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
  int32_t user_id;  // meaningful on session routes only
};

using Serve = Response (*)(const RouteInput& in);

enum class Access { Public, Session };

struct Route {
  std::string_view method;
  std::string_view path;
  Access access;
  Serve serve;
};

Response Reply(const ReplyDocument& reply) { return JsonReply(reply, 200); }

// The body is parsed only for routes that read it, and on session routes
// only after the gate let the request through.
RequestDocument Document(const RouteInput& in) {
  return ParseRequestDocument(in.request.method, in.request.body);
}

Response ServePage(const RouteInput&) { return HtmlReply(StatusPage()); }
Response ServeStatus(const RouteInput&) { return Reply(HandleStatusDocument()); }
Response ServeRegister(const RouteInput& in) { return Reply(HandleRegister(Document(in))); }
Response ServeLogin(const RouteInput& in) { return Reply(HandleLogin(Document(in))); }
Response ServeManifest(const RouteInput& in) {
  return Reply(HandleManifest(in.user_id, QueryParam(in.request, "since")));
}
Response ServeUpload(const RouteInput& in) { return Reply(HandleChunkUpload(in.request)); }
Response ServeHeartbeat(const RouteInput& in) {
  return Reply(HandleHeartbeat(in.user_id, Document(in)));
}
Response ServePush(const RouteInput& in) { return Reply(HandlePush(in.user_id, Document(in))); }
Response ServeDownload(const RouteInput& in) { return ChunkDownload(in.request); }

// Tested top to bottom; method and path must match exactly.
constexpr Route Routes[] = {
    {"GET", "/status", Access::Public, ServePage},
    {"GET", "/", Access::Public, ServePage},
    {"GET", "/api/status.php", Access::Public, ServeStatus},
    {"POST", "/api/register.php", Access::Public, ServeRegister},
    {"POST", "/api/login.php", Access::Public, ServeLogin},
    {"GET", "/api/manifest.php", Access::Session, ServeManifest},
    {"PUT", "/api/chunk.php", Access::Session, ServeUpload},
    {"POST", "/api/heartbeat.php", Access::Session, ServeHeartbeat},
    {"POST", "/api/push.php", Access::Session, ServePush},
    {"GET", "/api/chunk.php", Access::Session, ServeDownload},
};

const Route* FindRoute(const HttpRequest& request) {
  for (const Route& route : Routes) {
    if (route.method == request.method && route.path == request.path) return &route;
  }
  return nullptr;
}

Response Dispatch(const HttpRequest& request) {
  const Route* route = FindRoute(request);
  if (route != nullptr && route->access == Access::Public) return route->serve({request, 0});
  std::optional<int32_t> user_id = AuthenticateToken(request.authToken);
  if (!user_id) return JsonReply(FailureReply("unauthorized"), 401);
  if (route == nullptr) return JsonReply(FailureReply("not_found"), 404);
  return route->serve({request, *user_id});
}

}  // namespace

Response RouteRequest(const HttpRequest& request) {
  try {
    return Dispatch(request);
  } catch (...) {
    // A handler failure ends this connection only, without a reply.
    return Response();
  }
}

}  // namespace kelvra
