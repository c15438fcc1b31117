// tolvane-host: a small VST 2.4 host for the command line.
#include <iostream>

#include "tools/host/session.h"

int main(int argc, char** argv) {
    try {
        return tolvane::host::runHostTool(argc, argv, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "tolvane-host: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "tolvane-host: unexpected failure\n";
    }
    return tolvane::host::kExitFailure;
}
