#include "tools/usbip/server.h"

#include "tools/usbip/session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace usbip {

namespace {

constexpr int kPollMs = 200;
constexpr size_t kReadSize = 64 * 1024;
// A client that takes no packet for this long is dropped rather than left
// holding the session (and the model's sending thread) forever.
constexpr int kSendTimeoutSeconds = 30;
// After a close decided here, what the peer still sends is read and dropped
// for this long, so the last answer is not cut off by a reset.
constexpr int kLingerMs = 1000;

bool SendAll(int socket, const uint8_t* data, size_t length)
{
    while (length > 0) {
        const ssize_t sent = ::send(socket, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

std::string PeerName(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

} // namespace

Server::Server(ExportedDevice& device, LogSink log) : Device(device), Sink(std::move(log)) {}

Server::~Server()
{
    Stop();
    if (Listener >= 0) {
        ::close(Listener);
    }
}

void Server::Log(const std::string& line)
{
    std::lock_guard lock(LogMutex);
    if (Sink) {
        Sink(line);
    }
}

bool Server::Listen(const std::string& address, uint16_t port, std::string& error)
{
    sockaddr_in bind{};
    bind.sin_family = AF_INET;
    bind.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &bind.sin_addr) != 1) {
        error = "'" + address + "' is not an IPv4 address";
        return false;
    }
    Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Listener < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int yes = 1;
    ::setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(Listener, reinterpret_cast<sockaddr*>(&bind), sizeof bind) != 0 || ::listen(Listener, 16) != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(Listener);
        Listener = -1;
        return false;
    }
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    ::getsockname(Listener, reinterpret_cast<sockaddr*>(&bound), &size);
    BoundPort = ntohs(bound.sin_port);
    return true;
}

void Server::Start()
{
    AcceptThread = std::thread(&Server::Run, this);
}

void Server::Run()
{
    while (!Stopping) {
        pollfd waiting{Listener, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, kPollMs);
        Reap(false);
        if (ready <= 0 || Stopping) {
            continue;
        }
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        const int socket = ::accept4(Listener, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
        if (socket < 0) {
            continue;
        }
        const int yes = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        timeval timeout{kSendTimeoutSeconds, 0};
        ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        std::lock_guard lock(ConnectionsMutex);
        auto connection = std::make_unique<Connection>();
        connection->Socket = socket;
        Connection& added = *connection;
        Connections.push_back(std::move(connection));
        added.Thread = std::thread(&Server::Serve, this, std::ref(added), PeerName(peer));
    }
}

void Server::Serve(Connection& connection, std::string peer)
{
    const int socket = connection.Socket;
    Session::Hooks hooks;
    hooks.Send = [socket](const Bytes& packet) { return SendAll(socket, packet.data(), packet.size()); };
    hooks.Log = [this](const std::string& line) { Log(line); };
    hooks.Wake = [socket] { ::shutdown(socket, SHUT_RDWR); };
    bool closedHere = false;
    {
        Session session(Device, hooks, peer);
        std::vector<uint8_t> buffer(kReadSize);
        for (;;) {
            const ssize_t got = ::recv(socket, buffer.data(), buffer.size(), 0);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                session.Close(got == 0 ? "the peer closed the connection" : std::string("read failed: ") +
                                                                                 std::strerror(errno));
                break;
            }
            if (!session.Feed(buffer.data(), static_cast<size_t>(got))) {
                closedHere = !Stopping;
                break;
            }
        }
        session.Finish();
    }
    if (closedHere) {
        // Our side is done: a FIN after the last answer, then whatever the
        // peer still sends is read away, since closing with unread input
        // would reset the connection and could lose that answer.
        ::shutdown(socket, SHUT_WR);
        std::vector<uint8_t> drain(4096);
        for (int waited = 0; waited < kLingerMs; waited += 50) {
            pollfd readable{socket, POLLIN, 0};
            if (::poll(&readable, 1, 50) > 0 && ::recv(socket, drain.data(), drain.size(), 0) <= 0) {
                break;
            }
        }
    }
    {
        std::lock_guard lock(ConnectionsMutex);
        ::close(socket);
        connection.Socket = -1;
    }
    connection.Done = true;
}

void Server::Reap(bool all)
{
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard lock(ConnectionsMutex);
        for (auto it = Connections.begin(); it != Connections.end();) {
            if (all || (*it)->Done) {
                finished.push_back(std::move(*it));
                it = Connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : finished) {
        connection->Thread.join();
    }
}

void Server::Stop()
{
    Stopping = true;
    if (AcceptThread.joinable()) {
        AcceptThread.join();
    }
    {
        std::lock_guard lock(ConnectionsMutex);
        for (auto& connection : Connections) {
            if (connection->Socket >= 0) {
                ::shutdown(connection->Socket, SHUT_RDWR);
            }
        }
    }
    Reap(true);
}

size_t Server::OpenConnections() const
{
    std::lock_guard lock(ConnectionsMutex);
    size_t open = 0;
    for (const auto& connection : Connections) {
        open += connection->Done ? 0 : 1;
    }
    return open;
}

} // namespace usbip
