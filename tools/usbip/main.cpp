// ombrel-usbip: the bridge model served as a USB/IP device, so that a USB/IP
// client (on Windows, with the drivers of windows/ installed) attaches the
// virtual bridge over the network.
#include "rig/windows_inf.h"
#include "tools/usbip/device.h"
#include "tools/usbip/options.h"
#include "tools/usbip/scenario.h"
#include "tools/usbip/server.h"

#include <csignal>
#include <cstdio>
#include <ctime>

using namespace usbip;

int main(int argc, char** argv)
{
    std::string error;
    const auto options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "ombrel-usbip: %s\n(ombrel-usbip --help lists the options)\n", error.c_str());
        return 2;
    }
    if (options->Help) {
        std::fputs(UsageText("ombrel-usbip").c_str(), stdout);
        return 0;
    }
    const std::filesystem::path inf =
        options->InfPath.empty() ? rig::PackageInfPath("OmbrelBus") : std::filesystem::path(options->InfPath);
    const auto identity = IdentityFromInf(inf, error);
    if (!identity) {
        std::fprintf(stderr, "ombrel-usbip: %s\n", error.c_str());
        return 1;
    }

    // SIGINT and SIGTERM end the server; they are waited for, not handled.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    bridge::BridgeModel model;
    ExportedDevice device(model, *identity);
    Server server(device, [](const std::string& line) {
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
        std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
    });
    if (!server.Listen(options->ListenAddress, options->Port, error)) {
        std::fprintf(stderr, "ombrel-usbip: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "ombrel-usbip: serving %s (%04x:%04x, %s) on %s:%u, fault scenario %s\n",
                 device.Record().BusId.c_str(), identity->VendorId, identity->ProductId, identity->Product.c_str(),
                 options->ListenAddress.c_str(), server.Port(), faults::FaultName(options->Scenario));
    FaultDirector director(device, *options);
    server.Start();
    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::fprintf(stderr, "ombrel-usbip: stopping\n");
    server.Stop();
    return 0;
}
