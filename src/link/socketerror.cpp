#include "link/socketerror.h"

QString SocketErrorText(QAbstractSocket::SocketError error, const QString& qtText) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("Maskinen tar inte emot anslutningar (fel adress eller port, eller är den avstängd?)");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("Maskinens adress hittades inte");
    case QAbstractSocket::NetworkError:
        return QStringLiteral("Nätverket eller maskinen kan inte nås");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("Anslutningen tog för lång tid");
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("Maskinen stängde förbindelsen");
    default:
        return qtText;
    }
}
