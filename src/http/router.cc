#include "http/router.h"

#include <cstdint>
#include <string_view>

#include "accounts/account_handlers.h"
#include "accounts/devices.h"
#include "chunkstore/chunk_store.h"
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
  platform::Socket socket;
  const HttpRequest& request;
  int32_t user_id;  // meaningful on session routes only
};

using Serve = void (*)(const RouteInput& in);

enum class Access { Public, Session };

struct Route {
  std::string_view method;
  std::string_view path;
  Access access;
  Serve serve;
};

void Reply(const RouteInput& in, const ReplyDocument& reply) {
  SendJsonReply(in.socket, reply, 200);
}

// The body is parsed only for routes that read it, and on session routes
// only after the gate let the request through.
RequestDocument Document(const RouteInput& in) {
  return ParseRequestDocument(in.request.method, in.request.body);
}

void ServePage(const RouteInput& in) { ServeStatusPage(in.socket); }
void ServeStatus(const RouteInput& in) { Reply(in, HandleStatusDocument()); }
void ServeRegister(const RouteInput& in) { Reply(in, HandleRegister(Document(in))); }
void ServeLogin(const RouteInput& in) { Reply(in, HandleLogin(Document(in))); }
void ServeManifest(const RouteInput& in) {
  Reply(in, HandleManifest(in.user_id, QueryParam(in.request, "since")));
}
void ServeUpload(const RouteInput& in) { Reply(in, HandleChunkUpload(in.request)); }
void ServeHeartbeat(const RouteInput& in) { Reply(in, HandleHeartbeat(in.user_id, Document(in))); }
void ServePush(const RouteInput& in) { Reply(in, HandlePush(in.user_id, Document(in))); }
void ServeDownload(const RouteInput& in) { ServeChunkDownload(in.socket, in.request); }

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

void Dispatch(platform::Socket s, const HttpRequest& request) {
  const Route* route = FindRoute(request);
  if (route != nullptr && route->access == Access::Public) {
    route->serve({s, request, 0});
    return;
  }
  std::optional<int32_t> user_id = AuthenticateToken(request.authToken);
  if (!user_id) {
    SendJsonReply(s, FailureReply("unauthorized"), 401);
  } else if (route == nullptr) {
    SendJsonReply(s, FailureReply("not_found"), 404);
  } else {
    route->serve({s, request, *user_id});
  }
}

}  // namespace

void HandleConnection(platform::Socket s, const HttpRequest& request) {
  if (platform::PrepareForReply(s, SendStallTimeoutMs)) {
    try {
      Dispatch(s, request);
    } catch (...) {
      // A handler failure ends this connection only, without a reply.
    }
  }
  platform::CloseSocket(s);
}

}  // namespace kelvra
