#include "platform/bind_probe.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace vexa::platform;

TEST(BindProbe, TakenPortIsRefusedAndFreedPortAccepted) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  uint16_t port = ntohs(sa.sin_port);
  EXPECT_FALSE(CanBindIPv4("127.0.0.1", port));
  // Not a dotted quad: probed on 0.0.0.0, which the loopback listener blocks too.
  EXPECT_FALSE(CanBindIPv4("localhost", port));
  EXPECT_FALSE(CanBindIPv4("127.0.0.1.5", port));
  EXPECT_FALSE(CanBindIPv4("1270.0.0.1", port));
  ::close(fd);
  EXPECT_TRUE(CanBindIPv4("127.0.0.1", port));
  // The probe closed its own socket: probing twice works.
  EXPECT_TRUE(CanBindIPv4("127.0.0.1", port));
  // An address this host does not have cannot be bound.
  EXPECT_FALSE(CanBindIPv4("203.0.113.9", port));
}
