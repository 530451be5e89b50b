// A TCP peer that stops answering, for tests of what the program does when the network hangs.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace CalorviewTest {

// A listener on 127.0.0.1 that takes one connection and closes it at once, then lets its accept
// queue fill, so that every later connection attempt hangs (its SYNs are dropped), as at a host
// behind a firewall. Release() closes it: a hanging attempt then fails at its next SYN.
class DroppingListener {
public:
    DroppingListener() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_fd, 0);
        socklen_t length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this, address] {
            const int first = ::accept(m_fd, nullptr, nullptr);
            ::close(first);
            for (int& filler : m_fillers) {
                filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                ::connect(filler, reinterpret_cast<const sockaddr*>(&address), sizeof address);
            }
            m_full = true;
        });
    }
    ~DroppingListener() { Release(); }
    DroppingListener(const DroppingListener&) = delete;
    DroppingListener& operator=(const DroppingListener&) = delete;

    int port() const { return m_port; }
    // The first connection came and went; from now on attempts hang.
    bool full() const { return m_full; }
    void Release() {
        if (m_thread.joinable()) {
            ::shutdown(m_fd, SHUT_RDWR);  // ends an accept still waiting
            m_thread.join();
            ::close(m_fd);
            for (const int filler : m_fillers) {
                ::close(filler);
            }
        }
    }

private:
    int m_fd;
    int m_port = 0;
    int m_fillers[3] = {-1, -1, -1};
    std::atomic<bool> m_full{false};
    std::thread m_thread;
};

}  // namespace CalorviewTest
