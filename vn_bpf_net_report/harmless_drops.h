// Drop reasons that lose nothing, shared with the lab's check of each
// kernel's reasons.
#pragma once

#include <algorithm>
#include <iterator>
#include <string_view>

// TCP's discards of a segment that lose no data: a copy the socket already
// has, a keepalive or window probe, an ACK overtaken by a later one, an old
// duplicate refused by its timestamp (PAWS, also by a socket in TIME_WAIT),
// a segment that reached a socket as its connection ended (TCP_CLOSE).
inline bool harmless_drop_reason(std::string_view reason)
{
    static constexpr std::string_view harmless[] = {
        "TCP_OLD_DATA",     "TCP_OLD_SEQUENCE",     "TCP_INVALID_SEQUENCE", "TCP_OFOMERGE",
        "TCP_RFC7323_PAWS", "TCP_RFC7323_PAWS_ACK", "TCP_RFC7323_TW_PAWS",  "TCP_CLOSE",
    };
    return std::find(std::begin(harmless), std::end(harmless), reason) != std::end(harmless);
}
