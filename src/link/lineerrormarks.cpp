#include "link/lineerrormarks.h"

QByteArray LineErrorMarks::unmark(const QByteArray& raw, Found* found) {
    QByteArray out;
    out.reserve(raw.size());
    for (const char c : raw) {
        switch (state_) {
        case Plain:
            if (c == '\xFF') state_ = AfterFF;
            else out.append(c);
            break;
        case AfterFF:
            state_ = Plain;
            if (c == '\0') {
                state_ = AfterFF00;
                break;
            }
            // 0xFF 0xFF is one 0xFF; anything else is no mark at all.
            out.append('\xFF');
            if (c != '\xFF') out.append(c);
            break;
        case AfterFF00:
            state_ = Plain;
            if (c == '\0') {
                ++found->breaks;
            } else {
                ++found->errors;
                out.append(c);
            }
            break;
        }
    }
    return out;
}
