#pragma once

namespace corvantis {

// The "connect" item of the "ShowTiming" command-line option: when on, the proxy protocol clients write a
// timing line at each step of a handshake. Off unless switched on. A process-wide atomic flag: any thread may
// read or set it.
bool IsConnectTimingOn();
void SetConnectTimingOn(bool on);

} // namespace corvantis
