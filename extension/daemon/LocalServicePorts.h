#pragma once

namespace corvantis {

// UDP ports of local network services (discovery, time, file sharing, VPN negotiation, media, ...) that the
// transparent proxy leaves to the system by default and the content filter never inspects.
inline constexpr int kLocalServiceUdpPorts[]
    = { 7, 67, 68, 69, 111, 123, 137, 138, 139, 161, 192, 427, 445, 464, 500, 514, 554, 623, 626, 749, 1085, 1701, 1900,
          2049, 3031, 3283, 3284, 3478, 3479, 3480, 3481, 3482, 3483, 3484, 3485, 3486, 3487, 3488, 3489, 3490, 3491,
          3492, 3493, 3494, 3495, 3496, 3497, 3659, 3690, 4398, 4500, 5350, 5351, 5353, 5897, 5898, 7070, 9418, 16384,
          16385, 16386, 16387, 16393, 16394, 16395, 16396, 16397, 16398, 16399, 16400, 16401, 16402 };

} // namespace corvantis
