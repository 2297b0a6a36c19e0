#pragma once
// The program's pictures, drawn rather than stored: the splash and about
// emblem (a part program on a sheet with a transfer arrow).
#include <QPixmap>

QPixmap EmblemPixmap(int size);
