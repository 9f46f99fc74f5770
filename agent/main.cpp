// tagagent: the demo agent of the tag protocol. It serves GET, SET and DEL
// requests from a store of tag values, as one device or as a simulated
// fleet, until it is told to stop (SIGINT, SIGTERM) or its time or request
// budget runs out.
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "data_file.h"
#include "demo_device.h"
#include "fleet.h"
#include "options.h"
#include "server.h"
#include "vlog.h"

#ifndef TAGAGENT_VERSION
#define TAGAGENT_VERSION "0"
#endif

namespace {

// The values every device starts from: the demo device or the data file.
std::shared_ptr<TagStore> loadValues(const Options& options) {
    auto store = std::make_shared<TagStore>();
    if (options.dataFile.empty()) {
        loadDemoDevice(*store);
        return store;
    }
    std::vector<std::string> complaints = loadTagFile(options.dataFile, *store);
    for (const std::string& c : complaints) fprintf(stderr, "tagagent: %s\n", c.c_str());
    return complaints.empty() ? store : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        fprintf(stderr, "tagagent: %s\n", error.c_str());
        printUsage(stderr);
        return 2;
    }
    if (options.help) {
        printUsage(stdout);
        return 0;
    }
    if (options.version) {
        printf("tagagent %s\n", TAGAGENT_VERSION);
        return 0;
    }
    cVlog::init(options.verbosity == 0 ? cVlog::ERROR : options.verbosity == 1 ? cVlog::INFO : cVlog::DEBUG);

    std::shared_ptr<TagStore> values = loadValues(options);
    if (!values) return 1;
    Fleet fleet;
    const bool isFleet = options.devices != 0;
    if (!fleet.plan(options.address, isFleet ? options.devices : 1, options.port, isFleet, error) ||
        !allowOpenFiles(fleet.shared() ? 1 : fleet.size(), error)) {
        fprintf(stderr, "tagagent: %s\n", error.c_str());
        return 1;
    }
    int stopFd = stopSignalDescriptor();
    if (stopFd < 0) {
        perror("tagagent: cannot take the stop signals");
        return 1;
    }
    std::unique_ptr<DeviceStates> states =
        isFleet ? std::make_unique<DeviceStates>(values, fleet.size(), fleet.shared())
                : std::make_unique<DeviceStates>(TagStore(std::move(*values)));
    // The demo clock runs in the values the devices read: the single
    // device's own, or those the fleet shares.
    TagStore* clock = !options.dataFile.empty() ? nullptr : isFleet ? values.get() : states->held(0);
    bool ready =
        fleet.open(error) && (options.targetsFile.empty() || writeTargets(options.targetsFile, fleet, error));
    if (ready) {
        // Scripts wait for this line: everything it promises is in place.
        printf("%s\n", listeningLine(fleet, isFleet).c_str());
        fflush(stdout);
        serve(fleet, *states, options, clock, stopFd);
    } else {
        fprintf(stderr, "tagagent: %s\n", error.c_str());
    }
    close(stopFd);
    return ready ? 0 : 1;
}
