#include "common/notify.h"
#include <cstdio>
#include <utility>

namespace {
MessageSink& Sink() {
    static MessageSink sink;
    return sink;
}
}  // namespace

MessageSink SetMessageSink(MessageSink sink) { return std::exchange(Sink(), std::move(sink)); }

void ShowMessage(const QString& text, const QString& title, MsgIcon icon) {
    if (Sink()) {
        Sink()(text, title, icon);
        return;
    }
    std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
}

void Beep() {
    std::fputc('\a', stderr);
    std::fflush(stderr);
}
