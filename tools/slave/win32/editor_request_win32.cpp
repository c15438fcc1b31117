// The requests to open the editor again on Windows: "e" and Enter in the console (no signal).
#include <io.h>

#include <cstdio>
#include <string>

#include "tools/slave/editor_window.h"

bool installEditorRequestHandler(std::atomic<bool>&) { return true; }

const char* editorRequestSignal() { return ""; }

bool standardInputIsTerminal() { return _isatty(_fileno(stdin)) != 0; }

std::string editorRequestHint(bool terminalKey) { return terminalKey ? "e and Enter here" : "restart the slave"; }
