// tolvane-slave: the reference slave process. Serves one slave number's shared block with the
// processor chosen on the command line until Ctrl-C, a termination request or (Windows) the
// console closing, then clears slaveAttached and releases the objects.
#include <atomic>
#include <cstdio>
#include <string>

#include "tools/slave/options.h"
#include "tools/slave/processor.h"
#include "tools/slave/slave_server.h"
#include "tools/slave/stop_signal.h"

namespace {

std::atomic<bool> stopRequested{false};

void printAnswered(std::int32_t command, const SlaveSettings& settings) {
    switch (command) {
    case kCmdSetIo:
        std::printf("SetIo: %d inputs, %d outputs\n", static_cast<int>(settings.numInputs),
                    static_cast<int>(settings.numOutputs));
        break;
    case kCmdSetSampleRate:
        std::printf("SetSampleRate: %g Hz\n", static_cast<double>(settings.sampleRate));
        break;
    case kCmdSetBlockSize:
        std::printf("SetBlockSize: %d frames\n", static_cast<int>(settings.maxBlockFrames));
        break;
    default:
        std::printf("%s (%d)\n", toString(static_cast<SlaveCommand>(command)), static_cast<int>(command));
        break;
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    SlaveOptions options;
    std::string error;
    switch (parseSlaveOptions(argc, argv, options, error)) {
    case OptionsResult::Help:
        std::fputs(slaveUsage(), stdout);
        return 0;
    case OptionsResult::Error:
        std::fprintf(stderr, "tolvane-slave: %s (see --help)\n", error.c_str());
        return 2;
    case OptionsResult::Run:
        break;
    }
    auto processor = makeProcessor(options.processor, error);
    if (!processor) {
        std::fprintf(stderr, "tolvane-slave: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (!installStopHandlers(stopRequested)) {
        std::fprintf(stderr, "tolvane-slave: cannot install the stop handlers\n");
        return 1;
    }

    CSlaveServer server(options.slaveNumber, *processor);
    server.setObserver(printAnswered);
    if (!server.open(options.takeOver)) {
        std::fprintf(stderr, "tolvane-slave: %s\n", server.error().c_str());
        return 1;
    }
    std::printf("tolvane-slave: serving slave %d (%s) with %s; Ctrl-C stops\n", static_cast<int>(options.slaveNumber),
                slaveObjectNames(options.slaveNumber).c_str(), processor->describe().c_str());
    std::fflush(stdout);

    server.serve(stopRequested);
    const auto commands = server.commandsServed();
    server.close();
    std::printf("tolvane-slave: stopped after %llu commands; slave %d released\n",
                static_cast<unsigned long long>(commands), static_cast<int>(options.slaveNumber));
    std::fflush(stdout);
    notifyStopped();
    return 0;
}
