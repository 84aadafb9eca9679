// The service manager's readiness protocol: one datagram with the new state
// ("READY=1", "RELOADING=1", "STOPPING=1") to the socket named in
// $NOTIFY_SOCKET. Without that variable nothing is sent.
#pragma once

#include <string>

// True when the service manager asked to be told ($NOTIFY_SOCKET is set).
bool notify_wanted();

// Sends `state`; failures are ignored, as the manager may be gone.
void notify_service(const std::string& state);

// "RELOADING=1" with the monotonic time the manager wants beside it.
std::string reloading_state();
