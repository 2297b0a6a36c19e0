#pragma once
// One exception type for every run-time failure, numbered as the original
// platform numbers its run-time errors, so reports and logs read the same.
#include <QString>
#include <exception>

namespace Err {
constexpr int Overflow = 6;
constexpr int TypeMismatch = 13;
constexpr int BadFileName = 52;
constexpr int FileNotFound = 53;
constexpr int DeviceIO = 57;
constexpr int DiskFull = 61;
constexpr int PermissionDenied = 70;
constexpr int PathFileAccess = 75;
constexpr int PathNotFound = 76;
}  // namespace Err

class AppError : public std::exception {
public:
    AppError(int number, QString description);
    explicit AppError(int number);  // standard description of the number

    int number() const { return number_; }
    const QString& description() const { return description_; }
    const char* what() const noexcept override { return what_.constData(); }

private:
    int number_;
    QString description_;
    QByteArray what_;
};

// The Swedish standard text of a run-time error number.
QString ErrorDescription(int number);

[[noreturn]] void Raise(int number);
[[noreturn]] void Raise(int number, const QString& description);
