#pragma once
// Turns a failed file operation into the run-time error it would have been on
// the original platform (disk full 61, permission 70, path not found 76, ...).
#include "common/apperror.h"
#include <QFileDevice>

AppError FileError(const QFileDevice& file, const QString& path);
