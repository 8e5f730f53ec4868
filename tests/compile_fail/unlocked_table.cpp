// The client table touched without the engine lock: refused by the thread-safety analysis.
#include "server/leases/engine_state.h"

std::size_t staticEntries(tolmark::EngineState& engine) {
#ifdef COMPILE_FAIL_CONTROL
    tolmark::Hold hold(engine.lock);
#endif
    return engine.clients.size(tolmark::ClientList::Static);
}
