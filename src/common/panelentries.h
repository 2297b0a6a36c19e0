#pragma once
// The entries the operator panel lists: the machine's programs and the
// documents of its model. Plain data, shared by the engine and the widgets.
#include <QByteArray>
#include <QString>

// One program of a list received from the machine: name and size in
// 128-byte blocks, as the machine wrote them.
struct RemoteEntry {
    QByteArray name;
    QByteArray size;
};

// One entry of the document menu: caption and the document file it fetches.
struct DocumentEntry {
    QString caption;
    QString file;
};
