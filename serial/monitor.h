#pragma once
// TComThread: the event monitor of one open port. It sleeps in epoll on the
// device and a stop eventfd and hands each batch of events to the port.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "serial/settings.h"

namespace serial {

class TCustomComPort;

class TComThread {
public:
    // Takes the device, Events, SyncMethod and the queue size from the port
    // and starts waiting. Throws std::system_error if the OS refuses the
    // thread or its wait objects.
    explicit TComThread(TCustomComPort& port);
    // RequestStop, then waits for the thread to end, running queued
    // main-thread calls meanwhile so that a delivery under way completes.
    ~TComThread();

    // RequestStop, then waits for the thread to end as the destructor does.
    void Stop();
    void RequestStop();
    bool Running() const { return !ended_.load(std::memory_order_acquire); }

private:
    void Body();
    // Returns the message of a monitor that ended by itself, or "" on stop.
    std::string Loop();
    void Cleanup();

    TCustomComPort& port_;
    int fd_;
    TComEvents events_;
    int rx80Level_;
    int epollFd_ = -1;
    int stopFd_ = -1;
    int kickFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

} // namespace serial
