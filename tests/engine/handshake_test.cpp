// The HTTP request travels with the handshake's last ACK, so a server that reads a new
// connection once as soon as it accepts it (Icecast does, then sleeps up to 100 ms before
// reading again) finds the request already there.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "audioengine.h"
#include "http_source.h"

namespace ae {
namespace {

TEST(HttpHandshake, TheRequestIsThereWhenTheServerAccepts) {
    constexpr int kConnections = 5;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, kConnections), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);

    std::vector<ssize_t> firstRead;
    std::thread server([&] {
        for (int i = 0; i < kConnections; ++i) {
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd < 0) return;
            char buf[2048];
            firstRead.push_back(::recv(fd, buf, sizeof buf, MSG_DONTWAIT));
            const std::string answer = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
            (void)::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            ::close(fd);
        }
    });
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/a";
    for (int i = 0; i < kConnections; ++i) {
        HttpSource source(url, HttpOptions{});
        source.start();
        EXPECT_EQ(source.waitHeaders(), AE_ERROR_HTTP);
    }
    server.join();
    ::close(listener);
    ASSERT_EQ(firstRead.size(), size_t{kConnections});
    for (ssize_t n : firstRead) EXPECT_GT(n, 0) << "the request came after the accept";
}

}  // namespace
}  // namespace ae
