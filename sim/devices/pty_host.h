// Serves a simulated device on a pseudo-terminal: the program under test
// opens the slave side like a serial port; the host reads the master side,
// feeds the device and writes its answers out at their due times (paced at
// the line's rate when asked). Used by the kvr-sim program and, in a
// background thread, by integration tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "sim/devices/sim_device.h"

namespace kvr::sim {

class PtyHost {
public:
    // pace: send output no faster than the line's rate (10 bits per byte).
    explicit PtyHost(SimDevice& device, bool pace = false);
    ~PtyHost();
    PtyHost(const PtyHost&) = delete;
    PtyHost& operator=(const PtyHost&) = delete;

    // Creates the pseudo-terminal (raw mode on both sides). False with the
    // system's text in errorText on failure.
    bool open(std::string& errorText);
    const std::string& slavePath() const { return slavePath_; }

    // Serves until stop(); call from one thread only.
    void serve();
    // Both are safe from any thread and from a signal handler.
    void stop();
    void requestSnapshot();  // calls onSnapshot on the serving thread
    std::function<void()> onSnapshot;

    // Runs serve() on a background thread; stopThread() (or the destructor)
    // stops and joins it.
    void startThread();
    void stopThread();

    // The device's state, taken under the lock that serve() holds while the
    // device works.
    nlohmann::json deviceState();
    // Runs f with the device locked (tests inspect or change the device).
    void withDevice(const std::function<void(SimDevice&)>& f);
    // Line settings last seen on the slave side ("9600,n,8,1").
    std::string lineSettings();
    // Bytes received from and sent to the program so far.
    std::uint64_t bytesIn() const { return bytesIn_; }
    std::uint64_t bytesOut() const { return bytesOut_; }

private:
    struct Pending {
        std::int64_t dueUs;  // first byte may go at this time
        Bytes bytes;
        std::size_t sent = 0;
    };
    static std::int64_t nowUs();
    void checkLine();
    void enqueue(SimOutput& out);
    void flushDue();
    std::int64_t nextWakeUs() const;
    std::int64_t byteUs() const;

    SimDevice& device_;
    bool pace_;
    int master_ = -1;
    int slave_ = -1;  // kept open so the master never sees a hang-up
    int control_[2] = {-1, -1};
    std::string slavePath_;
    std::mutex mutex_;  // guards device_ and line_
    std::string line_ = "9600,n,8,1";
    unsigned baud_ = 9600;
    std::deque<Pending> queue_;
    bool writeBlocked_ = false;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> bytesIn_{0};
    std::atomic<std::uint64_t> bytesOut_{0};
    std::thread thread_;
};

}  // namespace kvr::sim
