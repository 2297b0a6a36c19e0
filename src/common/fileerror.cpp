#include "common/fileerror.h"
#include <QDir>
#include <QFileInfo>

AppError FileError(const QFileDevice& file, const QString& path) {
    const QString why = file.errorString();
    if (why.contains(QLatin1String("No space left"), Qt::CaseInsensitive) ||
        why.contains(QLatin1String("quota"), Qt::CaseInsensitive))
        return AppError(Err::DiskFull);
    if (why.contains(QLatin1String("Permission denied"), Qt::CaseInsensitive) ||
        why.contains(QLatin1String("Read-only file system"), Qt::CaseInsensitive))
        return AppError(Err::PermissionDenied);
    const QFileInfo info(path);
    if (!info.dir().exists()) return AppError(Err::PathNotFound);
    if (file.error() == QFileDevice::OpenError && info.isDir()) return AppError(Err::PathFileAccess);
    if (why.contains(QLatin1String("No such file"), Qt::CaseInsensitive)) return AppError(Err::FileNotFound);
    if (file.error() == QFileDevice::WriteError || file.error() == QFileDevice::ReadError)
        return AppError(Err::DeviceIO);
    return AppError(Err::PathFileAccess);
}
