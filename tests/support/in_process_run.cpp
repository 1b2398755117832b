// Linked into every test program: the run context the program's main would hand down, with
// the reports every invocation has (the pane, the options), so that a test that runs the window
// or a layer's function in process sees the lines the program would show.
#include "shell/run_context.h"

namespace {

const bool attached = [] {
    shell::UseRunContext(nullptr);
    return true;
}();

}  // namespace
