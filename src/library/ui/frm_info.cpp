#include "library/ui/frm_info.h"

#include "common/dates.h"
#include "common/paths.h"
#include "library/programfile.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
QString DateText(const QDateTime& t) {
    const QDateTime local = FileTimeToDate(t);
    return local.isValid() ? GeneralDate(local) : QString();
}
}  // namespace

frm_info::frm_info(const QString& path, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frm_info"));
    setWindowTitle(QStringLiteral("Filinformation"));
    setModal(true);
    auto* grid = new QGridLayout(this);
    int row = 0;
    QLineEdit* name = addField("txtFileName", QStringLiteral("Filnamn:"), row++);
    QLineEdit* program = addField("txtProgram", QStringLiteral("Program:"), row++);
    QLineEdit* folder = addField("txtFolder", QStringLiteral("Mapp:"), row++);
    QLineEdit* blocks = addField("txtBSize", QStringLiteral("Block:"), row++);
    QLineEdit* size = addField("txtSize", QStringLiteral("Storlek:"), row++);
    QLineEdit* changed = addField("txtChanged", QStringLiteral("Ändrad:"), row++);
    QLineEdit* created = addField("txtCreated", QStringLiteral("Skapad:"), row++);
    QLineEdit* comment = addField("txtComment", QStringLiteral("Filkommentar:"), row++);
    Q_UNUSED(program);
    Q_UNUSED(folder);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("cmdOK"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    grid->addWidget(ok, row, 1, Qt::AlignRight);
    grid->setColumnMinimumWidth(1, 300);

    const QFileInfo fi(ResolveCase(path));
    if (fi.exists() && fi.isFile()) {
        name->setText(fi.fileName().trimmed());
        blocks->setText(QString::number(BlockCount(fi.size())) + QStringLiteral(" block"));
        size->setText(SizeText(fi.size()) + QStringLiteral(" (") + QString::number(fi.size()) +
                      QStringLiteral(" byte)"));
        changed->setText(DateText(fi.lastModified()));
        created->setText(DateText(fi.birthTime()));
    }
    comment->setText(FileComment(path));
}

QLineEdit* frm_info::addField(const char* objectName, const QString& label, int row) {
    auto* grid = static_cast<QGridLayout*>(layout());
    auto* l = new QLabel(label, this);
    auto* e = new QLineEdit(this);
    e->setObjectName(QLatin1String(objectName));
    e->setReadOnly(true);
    l->setBuddy(e);
    grid->addWidget(l, row, 0);
    grid->addWidget(e, row, 1);
    return e;
}

QString frm_info::field(const char* objectName) const {
    auto* e = findChild<QLineEdit*>(QLatin1String(objectName));
    return e ? e->text() : QString();
}
