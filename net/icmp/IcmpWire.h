// The ICMP and ICMPv6 message types and header sizes that the echo client and the shared
// socket both read, in one place.
#pragma once

#include <cstdint>

namespace icmpwire {

constexpr uint8_t IcmpEchoReply = 0;
constexpr uint8_t IcmpUnreachable = 3;
constexpr uint8_t IcmpEchoRequest = 8;
constexpr uint8_t IcmpTimeExceeded = 11;
constexpr uint8_t Icmp6Unreachable = 1;
constexpr uint8_t Icmp6TimeExceeded = 3;
constexpr uint8_t Icmp6EchoRequest = 128;
constexpr uint8_t Icmp6EchoReply = 129;
constexpr int32_t IcmpHeaderBytes = 8;
constexpr int32_t IPHeaderBytes = 20;
constexpr int32_t IPv6HeaderBytes = 40;

} // namespace icmpwire
