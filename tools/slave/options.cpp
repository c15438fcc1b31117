#include "tools/slave/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "tools/slave/hang_watch.h"
#include "tools/slave/plugin_processor.h"

namespace {

bool parseSlaveNumber(const char* text, std::int32_t& number) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) return false;
    number = static_cast<std::int32_t>(value);
    return true;
}

}  // namespace

OptionsResult parseSlaveOptions(int argc, const char* const* argv, SlaveOptions& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] != nullptr ? argv[i] : "";
        // "--name value" and "--name=value" are both accepted.
        auto value = [&](std::string_view name, const char*& out) {
            if (arg == name) {
                if (i + 1 >= argc) {
                    error = std::string(name) + " needs a value";
                    return false;
                }
                out = argv[++i];
                return true;
            }
            out = argv[i] + name.size() + 1;
            return true;
        };
        auto is = [&](std::string_view name) {
            return arg == name || (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=');
        };

        const char* text = nullptr;
        if (arg == "--help" || arg == "-h") return OptionsResult::Help;
        if (arg == "--takeover") {
            options.takeOver = true;
        } else if (arg == "--list-params") {
            options.listParams = true;
        } else if (arg == "--supervise") {
            options.supervise = true;
        } else if (arg == "--supervised") {
            options.supervised = true;
        } else if (arg == "--editor") {
            options.editor = true;
        } else if (is("--state")) {
            if (!value("--state", text)) return OptionsResult::Error;
            options.stateFile = text;
            if (options.stateFile.empty()) {
                error = "--state needs the path of a file";
                return OptionsResult::Error;
            }
        } else if (is("--hang-limit")) {
            if (!value("--hang-limit", text)) return OptionsResult::Error;
            std::int32_t limit = 0;
            if (!parseSlaveNumber(text, limit) || limit < 0 || limit > 600000 ||
                (limit > 0 && limit < static_cast<std::int32_t>(kMinHangLimitMs))) {
                error = "--hang-limit needs 0 (no watch) or a number of milliseconds from " +
                        std::to_string(kMinHangLimitMs) + " to 600000, not '" + std::string(text) + "'";
                return OptionsResult::Error;
            }
            options.hangLimitMs = static_cast<std::uint32_t>(limit);
        } else if (is("--watch")) {
            if (!value("--watch", text)) return OptionsResult::Error;
            options.watchHandle = text;
        } else if (is("--param")) {
            if (!value("--param", text)) return OptionsResult::Error;
            PluginParamSetting setting;
            if (!parsePluginParam(text, setting, error)) return OptionsResult::Error;
            options.params.emplace_back(text);
        } else if (is("--slave")) {
            if (!value("--slave", text)) return OptionsResult::Error;
            if (!parseSlaveNumber(text, options.slaveNumber)) {
                error = "--slave needs a whole number (-1 for the unnumbered objects), not '" + std::string(text) + "'";
                return OptionsResult::Error;
            }
        } else if (is("--process")) {
            if (!value("--process", text)) return OptionsResult::Error;
            options.processor = text;
        } else {
            error = "unknown argument '" + std::string(arg) + "'";
            return OptionsResult::Error;
        }
    }
    if ((!options.params.empty() || options.listParams) && pluginPathOf(options.processor).empty()) {
        error = std::string(options.listParams ? "--list-params" : "--param") + " needs --process plugin:PATH";
        return OptionsResult::Error;
    }
    if (options.editor && pluginPathOf(options.processor).empty()) {
        error = "--editor needs --process plugin:PATH";
        return OptionsResult::Error;
    }
    if (!options.stateFile.empty() && pluginPathOf(options.processor).empty()) {
        error = "--state needs --process plugin:PATH";
        return OptionsResult::Error;
    }
    if (options.supervise && options.supervised) {
        error = "--supervise and --supervised exclude each other";
        return OptionsResult::Error;
    }
    return OptionsResult::Run;
}

std::string slaveUsage(const std::string& editorRequestSignal) {
    const std::string reopen = editorRequestSignal.empty()
        ? std::string("e + Enter in the slave's console opens it\n                       again")
        : "e + Enter in the slave's terminal or\n                       " + editorRequestSignal + " opens it again";
    return "usage: tolvane-slave [--slave N] [--process PROCESSOR] [--param INDEX=VALUE]... [--state FILE]\n"
           "                     [--supervise [--hang-limit MS]] [--takeover] [--list-params] [--editor]\n"
           "\n"
           "The reference slave process of the Tolvane bridge: serves one slave number's\n"
           "shared block until Ctrl-C or a termination request.\n"
           "\n"
           "  --slave N            slave number; -1 (the default) serves the unnumbered objects\n"
           "                       PalisorSlave_ShMem, PalisorEv_Master, PalisorEv_Slave\n"
           "  --process PROCESSOR  passthrough   input i to output i, silence without input (default)\n"
           "                       gain:DB       pass-through scaled by DB decibels (-120 to +40)\n"
           "                       sine:HZ       a sine of HZ hertz at -12 dBFS on every output\n"
           "                       echo          audio through, every MIDI and SysEx event sent back\n"
           "                       plugin:PATH   a VST 2.4 plug-in library (.so, .dll) hosted in the slave\n"
           "  --param INDEX=VALUE  set a plug-in parameter (index or name) to a value from 0 to 1 when it\n"
           "                       opens; repeatable\n"
           "  --list-params        print the plug-in's parameters (after the --param settings) and exit\n"
           "  --supervise          run the processor in a child process and start it again when it dies;\n"
           "                       meanwhile the slave is released, so the plug-in side hears silence\n"
           "  --state FILE         with plugin:PATH: restore the plug-in's state from FILE when it opens\n"
           "                       (over the --param settings) and save it there when it changes and at exit\n"
           "  --hang-limit MS      with --supervise: kill and restart a child that has not answered for MS\n"
           "                       milliseconds (default 1000; 0 turns the watch off)\n"
           "  --supervised         (used by --supervise) serve as its child: stop when standard input ends\n"
           "  --editor             with plugin:PATH: show the plug-in's editor in a window; closing it\n"
           "                       leaves the slave serving, and " + reopen +
           " (under --supervise: the supervisor's)\n"
           "  --takeover           clear a slave mark left by a slave that vanished, then attach\n"
           "  --help               this text\n";
}
