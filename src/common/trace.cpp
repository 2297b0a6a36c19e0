#include "common/trace.h"

namespace {
struct TraceStore {
    std::array<TraceEntry, TraceSize + 1> entries;
    int depth = 0;
};
TraceStore& Store() {
    static TraceStore store;
    return store;
}
}  // namespace

void TraceEnter(const QString& name) {
    TraceStore& s = Store();
    if (s.depth > 0 && s.entries[1].ProcName == name) return;
    s.depth = std::min(s.depth + 1, TraceSize);
    for (int i = s.depth; i >= 1; --i) s.entries[i] = s.entries[i - 1];
    // UTC: local time asks the time zone file each call, and every traced
    // procedure of every machine passes here.
    s.entries[1] = TraceEntry{name, QDateTime::currentDateTimeUtc()};
    s.entries[0] = TraceEntry{};
}

const std::array<TraceEntry, TraceSize + 1>& CallTrace() { return Store().entries; }
int TraceDepth() { return Store().depth; }

void ClearCallTrace() { Store() = TraceStore{}; }
