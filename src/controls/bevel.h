#pragma once
// A three-dimensional frame: an outer edge, a gap of BorderWidth pixels and an
// inner edge, drawn like the platform's classic control edges. The main window
// uses it for its tool band, the folder band and the two splitter bars.
#include <QPointer>
#include <QVariantMap>
#include <QWidget>

class Bevel : public QWidget {
    Q_OBJECT
public:
    // Edge styles of BevelInner and BevelOuter.
    enum Style { None = 0, Raised = 1, Sunken = 2, RaisedInner = 3, SunkenOuter = 4 };
    // The classic edge flags a style draws: 1 raised outer, 2 sunken outer,
    // 4 raised inner, 8 sunken inner.
    static int EdgeFlags(int style);

    explicit Bevel(QWidget* parent = nullptr);

    bool AutoSize() const { return autoSize_; }
    void setAutoSize(bool on);
    qint32 BevelInner() const { return inner_; }
    void setBevelInner(qint32 style);
    qint32 BevelOuter() const { return outer_; }
    void setBevelOuter(qint32 style);
    qint16 BorderWidth() const { return borderWidth_; }
    void setBorderWidth(qint16 pixels);
    // Stored but never shown; reading always answers the same fixed text.
    QString Caption() const { return QStringLiteral("[Not implemented yet]"); }
    void setCaption(const QString& text) { caption_ = text; }
    QObject* ChildObject() const { return child_; }
    void setChildObject(QObject* object);
    qint16 MarginTop() const { return margins_[0]; }
    qint16 MarginLeft() const { return margins_[1]; }
    qint16 MarginBottom() const { return margins_[2]; }
    qint16 MarginRight() const { return margins_[3]; }
    void setMarginTop(qint16 v) { setMargin(0, v); }
    void setMarginLeft(qint16 v) { setMargin(1, v); }
    void setMarginBottom(qint16 v) { setMargin(2, v); }
    void setMarginRight(qint16 v) { setMargin(3, v); }

    // An identity of this control within its container.
    quintptr hWnd() const { return reinterpret_cast<quintptr>(this); }
    // The container's entry for this control; null until it has been found.
    Bevel* ownEntry() const { return own_; }
    void Refresh() { update(); }

    // Saved properties, under the names the forms use ("MarginsL", ...).
    QVariantMap WriteProperties() const;
    void ReadProperties(const QVariantMap& saved);

    // The two rectangles that the last paint drew edges around.
    QRect lastOuterRect() const { return lastOuter_; }
    QRect lastInnerRect() const { return lastInner_; }

Q_SIGNALS:
    void MouseDown();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void setMargin(int which, qint16 v);
    void FindOwnEntry();

    bool autoSize_ = false;
    qint32 inner_ = 3;
    qint32 outer_ = 3;
    qint16 borderWidth_ = 0;
    QString caption_;
    QPointer<QObject> child_;
    qint16 margins_[4] = {0, 0, 0, 0};  // top, left, bottom, right
    Bevel* own_ = nullptr;
    QRect lastOuter_, lastInner_;
};

// Draws the classic edge of the given flags (see Bevel::EdgeFlags) around r.
// An inverted rectangle draws nothing.
class QPainter;
class QPalette;
void DrawEdge(QPainter& painter, const QRect& r, int flags, const QPalette& palette);
