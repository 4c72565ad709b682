#include "sim/main/pty_runner.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/devices/faults.h"
#include "sim/devices/pty_host.h"

namespace kvr::sim {

namespace {

std::atomic<PtyHost*> g_host{nullptr};
volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void onStopSignal(int) {
    g_stopRequested = 1;
    if (PtyHost* h = g_host.load()) h->stop();
}
extern "C" void onStateSignal(int) {
    if (PtyHost* h = g_host.load()) h->requestSnapshot();
}

// Written to a temporary name and renamed, so a reader never sees half a file.
bool writeState(const std::string& path, const nlohmann::json& state) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f) return false;
        f << state.dump(1) << '\n';
        f.flush();
        if (!f) return false;
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    return !ec;
}

void installHandler(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(sig, &sa, nullptr);
}

}  // namespace

const char* runnerOptionsHelp() {
    return "  --state FILE          write the device's state as JSON here at exit and on SIGUSR1\n"
           "  --pace                send output no faster than the line's rate (10 bits a byte)\n"
           "  --link PATH           also make PATH a symbolic link to the terminal\n";
}

int runDeviceKind(const DeviceKind& kind, Args args) {
    // Handlers first: a stop that comes while a large device is still being
    // built must still end the run the normal way, with its state file.
    installHandler(SIGTERM, onStopSignal);
    installHandler(SIGINT, onStopSignal);
    installHandler(SIGHUP, onStopSignal);
    installHandler(SIGUSR1, onStateSignal);
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<SimDevice> device;
    std::string statePath, linkPath;
    bool pace = false;
    try {
        statePath = takeOption(args, "--state").value_or("");
        linkPath = takeOption(args, "--link").value_or("");
        pace = takeFlag(args, "--pace");
        device = kind.make(args);
    } catch (const std::exception& e) {
        std::cerr << "kvr-sim " << kind.name << ": " << e.what() << "\n";
        return 2;
    }

    PtyHost host(*device, pace);
    std::string error;
    if (!host.open(error)) {
        std::cerr << "kvr-sim " << kind.name << ": " << error << "\n";
        return 1;
    }
    if (!linkPath.empty()) {
        struct stat st {};
        if (lstat(linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(linkPath.c_str());
        if (::symlink(host.slavePath().c_str(), linkPath.c_str()) != 0) {
            std::cerr << "kvr-sim " << kind.name << ": cannot link " << linkPath << "\n";
            return 1;
        }
    }

    host.onSnapshot = [&] {
        if (!statePath.empty()) writeState(statePath, device->state());
    };
    g_host = &host;

    // The first line tells whoever started us where to connect.
    std::cout << host.slavePath() << std::endl;
    if (!g_stopRequested) host.serve();

    g_host = nullptr;
    int status = 0;
    if (!statePath.empty() && !writeState(statePath, host.deviceState())) {
        std::cerr << "kvr-sim " << kind.name << ": cannot write " << statePath << "\n";
        status = 1;
    }
    if (!linkPath.empty()) ::unlink(linkPath.c_str());
    return status;
}

}  // namespace kvr::sim
