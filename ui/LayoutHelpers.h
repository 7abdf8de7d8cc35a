#pragma once
// Small pieces that keep the windows usable on small screens: the main window's first size, where
// a popover opens, a layout whose rows wrap instead of widening the window, and a guard that keeps
// the mouse wheel scrolling a column instead of turning the controls it passes over.
#include <QLayout>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>

class QAbstractScrollArea;
class QWidget;

namespace ostrela {

namespace layout {
// The main window's preferred first size, and what a window frame and a desktop panel take.
inline constexpr QSize kPreferredMainWindowSize{1180, 820};
inline constexpr QSize kMainWindowMinimumSize{820, 560};
inline constexpr int kTitleBarAllowance = 40;
inline constexpr int kPanelAllowance = 40;
inline constexpr int kSideAllowance = 24;
}  // namespace layout

// The main window's first size on a screen whose work area is `available` (the screen less its
// panels) and whole area is `screen`: the preferred size, made smaller so the window and its title
// bar fit the work area; when the desktop reports no panel (work area = whole screen) room for one
// is kept anyway. Never below the window's minimum size.
QSize defaultMainWindowSize(const QRect& available, const QRect& screen);

// Where a popover of `size` opens for a button at `anchor` (both in screen coordinates) on a screen
// whose work area is `screen`: below the button, its right edge under the button's right edge;
// above the button when it does not fit below and there is more room above; always moved inside
// the work area as far as it fits.
QPoint popoverPosition(const QRect& anchor, const QSize& size, const QRect& screen);
// Moves `popover` (a top-level popup, already sized) to popoverPosition for `anchor` on the
// anchor's screen.
void placePopover(QWidget* popover, const QWidget* anchor);

// Lays its items out left to right and starts a new row when the next one does not fit, so a row
// of buttons never makes its window wider than the window allows.
class FlowLayout : public QLayout {
public:
    explicit FlowLayout(QWidget* parent = nullptr, int hSpacing = 6, int vSpacing = 6);
    ~FlowLayout() override;

    void addItem(QLayoutItem* item) override;
    int count() const override { return int(items_.size()); }
    QLayoutItem* itemAt(int index) const override { return items_.value(index); }
    QLayoutItem* takeAt(int index) override;
    Qt::Orientations expandingDirections() const override { return {}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override { return arrange(QRect(0, 0, width, 0), false); }
    QSize minimumSize() const override;
    QSize sizeHint() const override;
    void setGeometry(const QRect& rect) override;

private:
    int arrange(const QRect& rect, bool apply) const;
    QList<QLayoutItem*> items_;
    int hSpacing_;
    int vSpacing_;
};

// Installed on the application: a wheel turned over a slider, spin box or combo box inside `scope`
// that does not have the keyboard focus scrolls `scroller` instead of changing the control. Those
// controls also stop taking the focus from the wheel, so only one the user clicked or tabbed to
// takes it.
class WheelGuard : public QObject {
public:
    WheelGuard(QWidget* scope, QAbstractScrollArea* scroller);
    ~WheelGuard() override;
    // Whether a wheel over `w` goes to the scroll area instead.
    bool diverts(const QWidget* w) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static bool isValueControl(const QWidget* w);
    QPointer<QWidget> scope_;
    QPointer<QAbstractScrollArea> scroller_;
};

}  // namespace ostrela
