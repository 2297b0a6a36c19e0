#pragma once
#include <QByteArray>

// Received bytes of a terminal that marks line errors (PARMRK): 0xFF 0x00 c is
// a character c that came with a parity or framing error (the system does not
// tell which), 0xFF 0x00 0x00 a break, 0xFF 0xFF one 0xFF byte. A mark may be
// split across reads.
class LineErrorMarks {
public:
    struct Found {
        int errors = 0;
        int breaks = 0;
    };
    // The bytes without marks; a character with an error stays. The start of
    // a mark at the end waits for the next read.
    QByteArray unmark(const QByteArray& raw, Found* found);
    void reset() { state_ = Plain; }

private:
    enum State { Plain, AfterFF, AfterFF00 } state_ = Plain;
};
