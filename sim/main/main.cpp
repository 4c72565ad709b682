// kvr-sim: simulated devices behind pseudo-terminals, and other stand-ins.
#include <algorithm>
#include <iostream>

#include "sim/main/commands.h"
#include "sim/main/pty_runner.h"

namespace {

void usage(std::ostream& os) {
    using namespace kvr::sim;
    os << "usage: kvr-sim <kind> [options]     serve a simulated device on a pseudo-terminal\n"
          "       kvr-sim <command> [options]  run a stand-in service\n"
          "       kvr-sim <kind|command> --help\n"
          "       kvr-sim --version\n\n"
          "Options of every device kind:\n"
       << runnerOptionsHelp()
       << "  --seed N              seed for generated data and noise (kinds with fault options)\n\n"
          "The terminal's path is the first line of standard output. SIGTERM or SIGINT\n"
          "ends the device; SIGUSR1 writes its state file.\n";
    for (auto& k : deviceKinds()) os << "\nkind " << k.name << ":\n" << k.help;
    for (auto& c : commands()) os << "\ncommand " << c.name << ":\n" << c.help;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kvr::sim;
    Args args(argv + 1, argv + argc);
    if (args.empty()) {
        usage(std::cerr);
        return 2;
    }
    const std::string name = args.front();
    args.erase(args.begin());
    if (name == "--help" || name == "-h" || name == "help") {
        usage(std::cout);
        return 0;
    }
    if (name == "--version") {
        std::cout << "kvr-sim (KVR Probe) " KVR_VERSION "\n";
        return 0;
    }
    const bool wantsHelp = std::any_of(args.begin(), args.end(), [](const std::string& a) { return a == "--help" || a == "-h"; });
    if (const DeviceKind* k = findDeviceKind(name)) {
        if (wantsHelp) {
            std::cout << "kvr-sim " << k->name << " [options]\n" << runnerOptionsHelp() << k->help;
            return 0;
        }
        return runDeviceKind(*k, std::move(args));
    }
    if (const Command* c = findCommand(name)) {
        if (wantsHelp) {
            std::cout << "kvr-sim " << c->name << " [options]\n" << c->help;
            return 0;
        }
        return c->run(args);
    }
    std::cerr << "kvr-sim: unknown kind or command '" << name << "'\n\n";
    usage(std::cerr);
    return 2;
}
