#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tests {

// IPv4 and TCP header bytes for crafted packets.
struct tcp_packet_t {
  std::string source = "10.0.0.1";
  std::string destination = "10.0.0.2";
  std::uint16_t source_port = 40000;
  std::uint16_t destination_port = 80;
  std::uint32_t sequence = 1000;
  std::uint8_t flags = 0x02; // SYN
  bool ns = false;
  std::uint8_t data_offset = 5;      // as written, whatever follows
  std::vector<std::uint8_t> options; // IPv4 options, padded to whole words
  std::vector<std::uint8_t> after;   // TCP options and data behind the 20-byte TCP header

  // The IPv4 header followed by a 20-byte TCP header and the bytes after it.
  std::vector<std::uint8_t> bytes() const {
    std::vector<std::uint8_t> padded = options;
    while (padded.size() % 4) padded.push_back(0);
    std::vector<std::uint8_t> b(20 + padded.size() + 20, 0);
    b[0] = static_cast<std::uint8_t>(0x40 | (20 + padded.size()) / 4);
    b[8] = 64;
    b[9] = 6;
    ::inet_pton(AF_INET, source.c_str(), &b[12]);
    ::inet_pton(AF_INET, destination.c_str(), &b[16]);
    std::copy(padded.begin(), padded.end(), b.begin() + 20);
    std::uint8_t *tcp = &b[20 + padded.size()];
    tcp[0] = source_port >> 8, tcp[1] = source_port & 0xff;
    tcp[2] = destination_port >> 8, tcp[3] = destination_port & 0xff;
    for (int i = 0; i < 4; ++i) tcp[4 + i] = static_cast<std::uint8_t>(sequence >> (24 - 8 * i));
    tcp[12] = static_cast<std::uint8_t>(data_offset << 4 | (ns ? 1 : 0));
    tcp[13] = flags;
    tcp[14] = 0xff, tcp[15] = 0xff;
    b.insert(b.end(), after.begin(), after.end());
    return b;
  }
};

} // namespace tests
