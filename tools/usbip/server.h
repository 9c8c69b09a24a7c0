// The TCP side: a listening socket and one thread per connection, each
// feeding its own Session. A connection that breaks the protocol closes on
// its own; the others and the listener go on.
#pragma once

#include "tools/usbip/device.h"

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace usbip {

class Server {
public:
    using LogSink = std::function<void(const std::string&)>;

    Server(ExportedDevice& device, LogSink log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens; port 0 takes an ephemeral one (see Port()).
    bool Listen(const std::string& address, uint16_t port, std::string& error);
    uint16_t Port() const { return BoundPort; }

    // Accepts connections on a thread of its own until Stop.
    void Start();
    // Closes the listener and every connection, and waits for their threads.
    void Stop();
    // The accept loop itself, on the calling thread, until Stop.
    void Run();

    size_t OpenConnections() const;

private:
    struct Connection {
        int Socket = -1;
        std::thread Thread;
        std::atomic<bool> Done{false};
    };

    void Serve(Connection& connection, std::string peer);
    void Reap(bool all);
    void Log(const std::string& line);

    ExportedDevice& Device;
    LogSink Sink;
    std::mutex LogMutex;
    int Listener = -1;
    uint16_t BoundPort = 0;
    std::atomic<bool> Stopping{false};
    std::thread AcceptThread;
    mutable std::mutex ConnectionsMutex;
    std::list<std::unique_ptr<Connection>> Connections;
};

} // namespace usbip
