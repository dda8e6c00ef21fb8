#include "http/router.h"

#include <cstdint>
#include <string_view>

#include "http/gate.h"
#include "http/limits.h"
#include "http/reply.h"
#include "status/status_api.h"

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

void ServeStatus(const RouteInput& in) { Reply(in, HandleStatusDocument()); }

// Tested top to bottom; method and path must match exactly.
constexpr Route Routes[] = {
    {"GET", "/api/status.php", Access::Public, ServeStatus},
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
