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

// A server that closed its connections first leaves them in TIME_WAIT on its
// own port; a relaunch must still find that port free.
TEST(BindProbe, PortHeldOnlyByClosedConnectionsIsFree) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // as the server's listener
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t len = sizeof sa;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  const uint16_t port = ntohs(sa.sin_port);

  int client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  int served = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(served, 0);
  EXPECT_FALSE(CanBindIPv4("127.0.0.1", port));  // a listener with the option still holds it
  ::close(served);  // the server side closes first
  char byte;
  EXPECT_EQ(::read(client, &byte, 1), 0);
  ::close(client);
  ::close(listener);

  // A socket without the option is refused: the port really is held.
  int plain = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(::bind(plain, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ::close(plain);
  EXPECT_TRUE(CanBindIPv4("127.0.0.1", port));
  EXPECT_TRUE(CanBindIPv4("0.0.0.0", port));
}
