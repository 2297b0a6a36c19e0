#include "common/apperror.h"

AppError::AppError(int number, QString description)
    : number_(number), description_(std::move(description)) {
    what_ = QStringLiteral("%1 (%2)").arg(description_).arg(number_).toUtf8();
}

AppError::AppError(int number) : AppError(number, ErrorDescription(number)) {}

QString ErrorDescription(int number) {
    switch (number) {
    case Err::Overflow: return QStringLiteral("Spill");
    case Err::TypeMismatch: return QStringLiteral("Inkompatibla typer");
    case 5: return QStringLiteral("Ogiltigt proceduranrop eller argument");
    case 7: return QStringLiteral("Slut på minne");
    case 51: return QStringLiteral("Internt fel");
    case 380: return QStringLiteral("Ogiltigt egenskapsvärde");
    case 8002: return QStringLiteral("Ogiltigt portnummer");
    case Err::BadFileName: return QStringLiteral("Felaktigt filnamn eller nummer");
    case Err::FileNotFound: return QStringLiteral("Det gick inte att hitta filen");
    case Err::DeviceIO: return QStringLiteral("I/O-fel på enheten");
    case Err::DiskFull: return QStringLiteral("Disken är full");
    case Err::PermissionDenied: return QStringLiteral("Åtkomst nekad");
    case Err::PathFileAccess: return QStringLiteral("Fel vid åtkomst till sökväg/fil");
    case Err::PathNotFound: return QStringLiteral("Det gick inte att hitta sökvägen");
    default: return QStringLiteral("Programdefinierat fel eller objektfel");
    }
}

void Raise(int number) { throw AppError(number); }
void Raise(int number, const QString& description) { throw AppError(number, description); }
