// A program list received from the machine, any bytes, both protocols: no
// crash, and every entry fits its fixed-width fields.
#include "link/filelists.h"
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray message(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const int protocol : {1, 2}) {
        const ListWidth width = protocol == 2 ? ListWidth::Wide : ListWidth::Narrow;
        const qsizetype entryWidth = static_cast<qsizetype>(width);
        const QList<RemoteEntry> entries = ReadReceivedList(message, protocol);
        if (entries.size() > message.size() / entryWidth + 1) abort();
        for (const RemoteEntry& e : entries)
            if (e.name.size() > entryWidth - 3 || e.size.size() > 3) abort();
    }
    return 0;
}
