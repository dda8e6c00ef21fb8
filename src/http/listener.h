// AcceptLoop: the body of the accept thread.
//
// One event loop accepts connections and reads each one's single request
// without blocking (RequestReader), so an idle or slow client costs a
// descriptor and its buffered bytes, never a thread. A complete request goes
// to one of two bounded pools of worker threads, by its weight (a small one
// for requests of a few statements, a large one for those that wait on disk
// or network; the status document the loop may answer itself); each worker
// runs HandleConnection: route the
// request (RouteRequest), write the reply as far as the client takes it
// within a short wait, and close. A client slower than that gets the rest of
// its reply from the event loop, again without blocking, so slow readers
// hold no worker either. Every accepted connection adds one to RequestCount
// first.
//
// Limits (http/limits.h): at most MaxConnections open connections (beyond
// that, new ones wait in the kernel backlog); a connection whose client
// stays silent for IdleTimeoutMs, whose head is unfinished after
// HeadDeadlineMs, or whose request is unfinished after RequestDeadlineMs is
// closed without a reply; large bodies wait for a share of BodyBudgetBytes
// before they are read; a reply that stalls for SendStallTimeoutMs or runs
// past ReplyDeadlineMs is abandoned, and replies left for slow readers hold
// at most ReplyBudgetBytes.
//
// AcceptLoop returns when StopFlag is set and the loop has been woken, or
// when accepting fails for good. Connections still open then are left to
// the process's exit.
#pragma once

#include "platform/net.h"

namespace kelvra {

void AcceptLoop(platform::Socket listener);

// Wakes a running AcceptLoop so that it sees StopFlag. Any thread.
void WakeAcceptLoop();

// After StopFlag is set: wakes the loop and waits up to `timeout_ms` until
// it no longer uses the listening socket, so that the caller may close it.
// Returns false when the loop did not stop in time.
bool StopAcceptLoop(int timeout_ms);

}  // namespace kelvra
