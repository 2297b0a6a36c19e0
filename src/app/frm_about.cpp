#include "app/frm_about.h"

#include "app/artwork.h"
#include "app/version.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

frm_about::frm_about(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frm_about"));
    setWindowTitle(QStringLiteral("Om Fenmo32"));
    setModal(true);
    auto* grid = new QGridLayout(this);
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("imgLogo"));
    picture->setPixmap(EmblemPixmap(64));
    grid->addWidget(picture, 0, 0, 3, 1, Qt::AlignTop);
    auto* title = new QLabel(QStringLiteral("<b>Fenmo32</b>"), this);
    title->setObjectName(QStringLiteral("lblTitle"));
    QFont big = title->font();
    big.setPointSize(big.pointSize() + 4);
    title->setFont(big);
    grid->addWidget(title, 0, 1);
    auto* version = new QLabel(QStringLiteral("Version ") + VersionNumber(), this);
    version->setObjectName(QStringLiteral("lblVersion"));
    grid->addWidget(version, 1, 1);
    auto* text = new QLabel(QStringLiteral("DNC-program för överföring av NC-program mellan PC och maskin."), this);
    text->setObjectName(QStringLiteral("lblDescription"));
    text->setWordWrap(true);
    grid->addWidget(text, 2, 1);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("Command1"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    grid->addWidget(ok, 3, 1, Qt::AlignRight);
    setMinimumWidth(360);
}
