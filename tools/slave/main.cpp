// tolvane-slave: the reference slave process. Serves one slave number's shared block with the
// processor chosen on the command line until Ctrl-C, a termination request or (Windows) the
// console closing, then clears slaveAttached and releases the objects.
#include <atomic>
#include <chrono>
#include <memory>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tools/slave/child_process.h"
#include "tools/slave/editor_window.h"
#include "tools/slave/options.h"
#include "tools/slave/plugin_processor.h"
#include "tools/slave/plugin_ui.h"
#include "tools/slave/processor.h"
#include "tools/slave/serving_thread.h"
#include "tools/slave/slave_server.h"
#include "tools/slave/state_keeper.h"
#include "tools/slave/stop_signal.h"
#include "tools/slave/supervisor.h"

namespace {

std::atomic<bool> stopRequested{false};
std::atomic<bool> editorRequested{false};

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

// The child's command line under --supervise: the same slave, processor and parameters.
std::vector<std::string> supervisedChildArgs(const SlaveOptions& options) {
    std::vector<std::string> args = {currentExecutablePath(), "--slave", std::to_string(options.slaveNumber),
                                     "--process", options.processor};
    for (const std::string& param : options.params) {
        args.push_back("--param");
        args.push_back(param);
    }
    if (options.editor) args.push_back("--editor");
    if (!options.stateFile.empty()) {
        args.push_back("--state");
        args.push_back(options.stateFile);
    }
    args.push_back("--supervised");
    return args;
}

void watchInput(bool stopAtEnd);

int superviseChild(const SlaveOptions& options) {
    if (pluginPathOf(options.processor).empty()) {
        // Only a plug-in is loaded by the child; any other choice is checked here.
        std::string error;
        if (!makeProcessor(options.processor, error)) {
            std::fprintf(stderr, "tolvane-slave: %s (see --help)\n", error.c_str());
            return kExitBadArguments;
        }
    }
    if (!installStopHandlers(stopRequested)) {
        std::fprintf(stderr, "tolvane-slave: cannot install the stop handlers\n");
        return kExitLinkUnavailable;
    }
    CSupervisor supervisor(options.slaveNumber, supervisedChildArgs(options));
    supervisor.watchForHangs(std::chrono::milliseconds(options.hangLimitMs));
    if (options.editor) {
        // The child owns the window; the requests to open it again come here and go on to it.
        installEditorRequestHandler(editorRequested);
        if (standardInputIsTerminal()) watchInput(false);
        supervisor.forwardEditorRequests(editorRequested);
    }
    const int code = supervisor.run(stopRequested, options.takeOver);
    notifyStopped();
    return code;
}

// Reads standard input line by line: a line "e" asks for the editor again. A supervised child's
// input is the supervisor's pipe: the supervisor asks its child to stop by closing it, and it
// also ends when the supervisor dies; either way the child releases the link and ends.
void watchInput(bool stopAtEnd) {
    std::thread([stopAtEnd] {
        std::string line;
        for (int c = std::fgetc(stdin); c != EOF; c = std::fgetc(stdin)) {
            if (c != '\n') {
                if (c != '\r' && c != ' ' && line.size() < 8) line += static_cast<char>(c);
                continue;
            }
            if (line == "e") editorRequested.store(true, std::memory_order_release);
            line.clear();
        }
        if (stopAtEnd) stopRequested.store(true, std::memory_order_release);
    }).detach();
}

// Serves the link on a thread of its own while this, the main thread, makes the plug-in's UI
// calls (effIdle, and with --editor the editor's window): a busy editor never delays a block.
// False when the thread cannot be started.
bool serveBesideUi(CSlaveServer& server, CPluginProcessor& plugin, const SlaveOptions& options, bool terminalKey) {
    auto serving = startServingThread([&server] { server.serve(stopRequested); });
    if (!serving) return false;
    std::unique_ptr<CEditorWindow> window;
    if (options.editor) {
        window = makeEditorWindow();
        installEditorRequestHandler(editorRequested);
    }
    // A supervised child's requests come through its supervisor, which reads the same terminal.
    CPluginUi ui(plugin, options.slaveNumber, std::move(window), editorRequestHint(terminalKey || options.supervised));
    ui.run(stopRequested, editorRequested);  // closes the editor before it returns
    serving->join();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    SlaveOptions options;
    std::string error;
    switch (parseSlaveOptions(argc, argv, options, error)) {
    case OptionsResult::Help:
        std::fputs(slaveUsage(editorRequestSignal()).c_str(), stdout);
        return 0;
    case OptionsResult::Error:
        std::fprintf(stderr, "tolvane-slave: %s (see --help)\n", error.c_str());
        return 2;
    case OptionsResult::Run:
        break;
    }
    if (options.supervise && !options.listParams) return superviseChild(options);
    if (options.supervised) prepareSupervisedChild();

    std::vector<PluginParamSetting> params;
    for (const std::string& text : options.params) {
        PluginParamSetting setting;
        parsePluginParam(text, setting, error);  // checked by parseSlaveOptions
        params.push_back(setting);
    }
    bool loadFailed = false;
    auto processor = makeSlaveProcessor(options.processor, params, error, loadFailed, options.stateFile);
    if (!processor) {
        std::fprintf(stderr, "tolvane-slave: %s%s\n", error.c_str(), loadFailed ? "" : " (see --help)");
        return loadFailed ? kExitPluginFailed : kExitBadArguments;
    }
    auto* plugin = dynamic_cast<CPluginProcessor*>(processor.get());  // null: a built-in processor
    if (options.listParams) {
        if (plugin != nullptr) std::fputs(plugin->parameterListing().c_str(), stdout);
        return 0;
    }
    const bool terminalKey = options.editor && !options.supervised && standardInputIsTerminal();
    if (options.supervised || terminalKey) watchInput(options.supervised);
    if (!installStopHandlers(stopRequested)) {
        std::fprintf(stderr, "tolvane-slave: cannot install the stop handlers\n");
        return 1;
    }

    CSlaveServer server(options.slaveNumber, *processor);
    server.setObserver(printAnswered);
    if (!server.open(options.takeOver)) {
        std::fprintf(stderr, "tolvane-slave: %s\n", server.error().c_str());
        return options.supervised ? kExitLinkHeld : kExitLinkUnavailable;
    }
    // --state: the state is saved now (the first one, or the one restored), when it changes and
    // at exit.
    std::unique_ptr<CStateKeeper> stateKeeper;
    if (plugin != nullptr && !options.stateFile.empty()) {
        stateKeeper = std::make_unique<CStateKeeper>(*plugin);
        stateKeeper->start();
    }
    // --watch: the supervisor's page, beaten by the serving thread.
    CWatchPage watchPage;
    if (!options.watchHandle.empty()) {
        if (watchPage.attach(options.watchHandle, error)) {
            server.setWatchPage(watchPage.page());
        } else {
            std::fprintf(stderr, "tolvane-slave: %s; serving without the hang watch\n", error.c_str());
        }
    }
    std::printf("tolvane-slave: serving slave %d (%s) with %s; Ctrl-C stops\n", static_cast<int>(options.slaveNumber),
                slaveObjectNames(options.slaveNumber).c_str(), processor->describe().c_str());
    std::fflush(stdout);

    if (plugin == nullptr) {
        server.serve(stopRequested);
    } else if (!serveBesideUi(server, *plugin, options, terminalKey)) {
        std::fprintf(stderr, "tolvane-slave: cannot start the serving thread\n");
        stopRequested.store(true);
    }
    if (stateKeeper) stateKeeper->stop();
    const auto commands = server.commandsServed();
    server.close();
    std::printf("tolvane-slave: stopped after %llu commands; slave %d released\n",
                static_cast<unsigned long long>(commands), static_cast<int>(options.slaveNumber));
    std::fflush(stdout);
    notifyStopped();
    return 0;
}
