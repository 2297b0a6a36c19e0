#include "web/spooledbody.h"
#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

SpooledBody::SpooledBody(const QString& folder) {
    // Not the machine's extension, and hidden: no listing shows it as a program.
    QByteArray name = QFile::encodeName(folder) + "/.Fenmo32-upload-XXXXXX";
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) why_ = QString::fromLocal8Bit(std::strerror(errno));
    else path_ = QFile::decodeName(name);
}

SpooledBody::~SpooledBody() {
    close();
    if (!path_.isEmpty()) ::unlink(QFile::encodeName(path_).constData());
}

bool SpooledBody::write(const char* data, qint64 n) {
    while (fd_ >= 0 && n > 0) {
        const ssize_t w = ::write(fd_, data, size_t(n));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            why_ = QString::fromLocal8Bit(std::strerror(w < 0 ? errno : ENOSPC));
            ::close(fd_);
            fd_ = -1;
            return false;
        }
        data += w;
        n -= w;
    }
    return fd_ >= 0;
}

void SpooledBody::close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}
