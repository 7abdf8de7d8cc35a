#include "ui/LayoutHelpers.h"

#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QWheelEvent>
#include <QWidget>

#include <algorithm>

namespace ostrela {

QSize defaultMainWindowSize(const QRect& available, const QRect& screen) {
    int height = available.height() - layout::kTitleBarAllowance;
    // A desktop that reports no panel may still have one (or a dock) over the work area.
    if (available == screen) height -= layout::kPanelAllowance;
    const int width = available.width() - layout::kSideAllowance;
    return {std::max(layout::kMainWindowMinimumSize.width(), std::min(layout::kPreferredMainWindowSize.width(), width)),
            std::max(layout::kMainWindowMinimumSize.height(), std::min(layout::kPreferredMainWindowSize.height(), height))};
}

QPoint popoverPosition(const QRect& anchor, const QSize& size, const QRect& screen) {
    int x = anchor.right() + 1 - size.width();
    int y = anchor.bottom() + 1;
    const int roomBelow = screen.bottom() + 1 - y;
    const int roomAbove = anchor.top() - screen.top();
    if (size.height() > roomBelow && roomAbove > roomBelow) y = anchor.top() - size.height();
    x = std::clamp(x, screen.left(), std::max(screen.left(), screen.right() + 1 - size.width()));
    y = std::clamp(y, screen.top(), std::max(screen.top(), screen.bottom() + 1 - size.height()));
    return {x, y};
}

void placePopover(QWidget* popover, const QWidget* anchor) {
    const QRect a(anchor->mapToGlobal(QPoint(0, 0)), anchor->size());
    QScreen* screen = anchor->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(a.topLeft(), QSize(4096, 4096));
    popover->move(popoverPosition(a, popover->size(), area));
}

// ---- FlowLayout ----

FlowLayout::FlowLayout(QWidget* parent, int hSpacing, int vSpacing)
    : QLayout(parent), hSpacing_(hSpacing), vSpacing_(vSpacing) {
    setContentsMargins(0, 0, 0, 0);
}

FlowLayout::~FlowLayout() {
    while (QLayoutItem* item = takeAt(0)) delete item;
}

void FlowLayout::addItem(QLayoutItem* item) { items_.append(item); }

QLayoutItem* FlowLayout::takeAt(int index) {
    if (index < 0 || index >= items_.size()) return nullptr;
    return items_.takeAt(index);
}

QSize FlowLayout::minimumSize() const {
    // As narrow as the widest item: everything else wraps.
    QSize s;
    for (const QLayoutItem* item : items_) s = s.expandedTo(item->minimumSize());
    const QMargins m = contentsMargins();
    return s + QSize(m.left() + m.right(), m.top() + m.bottom());
}

QSize FlowLayout::sizeHint() const {
    // One row when there is room for it.
    int w = 0, h = 0;
    for (const QLayoutItem* item : items_) {
        if (item->isEmpty()) continue;
        const QSize s = item->sizeHint();
        w += (w ? hSpacing_ : 0) + s.width();
        h = std::max(h, s.height());
    }
    const QMargins m = contentsMargins();
    return {w + m.left() + m.right(), h + m.top() + m.bottom()};
}

void FlowLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    arrange(rect, true);
}

int FlowLayout::arrange(const QRect& rect, bool apply) const {
    const QRect area = rect.marginsRemoved(contentsMargins());
    int x = area.x(), y = area.y(), rowHeight = 0;
    QList<std::pair<QLayoutItem*, QRect>> row;
    // Items of a row share its height and sit centred in it; a spacer item (stretch) pushes what
    // follows to the row's right end.
    auto flush = [&](int rowTop) {
        if (!apply) return;
        int stretchAt = -1, used = 0;
        for (int i = 0; i < row.size(); ++i) {
            if (row[i].first->spacerItem()) stretchAt = i;
            used = row[i].second.right() + 1 - area.x();
        }
        const int shift = stretchAt >= 0 ? std::max(0, area.width() - used) : 0;
        for (int i = 0; i < row.size(); ++i) {
            QRect r = row[i].second;
            r.moveTop(rowTop + (rowHeight - r.height()) / 2);
            if (stretchAt >= 0 && i > stretchAt) r.translate(shift, 0);
            row[i].first->setGeometry(r);
        }
        row.clear();
    };
    for (QLayoutItem* item : items_) {
        if (item->isEmpty()) continue;
        QSize s = item->sizeHint();
        if (item->spacerItem()) s = QSize(0, 0);
        s.setWidth(std::min(s.width(), area.width()));
        if (x > area.x() && x + s.width() > area.right() + 1) {
            flush(y);
            x = area.x();
            y += rowHeight + vSpacing_;
            rowHeight = 0;
        }
        row.append({item, QRect(QPoint(x, y), s)});
        x += s.width() + (item->spacerItem() ? 0 : hSpacing_);
        rowHeight = std::max(rowHeight, s.height());
    }
    flush(y);
    const QMargins m = contentsMargins();
    return y + rowHeight - rect.y() + m.bottom();
}

// ---- WheelGuard ----

WheelGuard::WheelGuard(QWidget* scope, QAbstractScrollArea* scroller) : QObject(scope), scope_(scope), scroller_(scroller) {
    qApp->installEventFilter(this);
    for (QWidget* w : scope->findChildren<QWidget*>())
        if (isValueControl(w) && w->focusPolicy() == Qt::WheelFocus) w->setFocusPolicy(Qt::StrongFocus);
}

WheelGuard::~WheelGuard() {
    if (qApp) qApp->removeEventFilter(this);
}

bool WheelGuard::isValueControl(const QWidget* w) {
    if (qobject_cast<const QScrollBar*>(w)) return false;
    return qobject_cast<const QAbstractSlider*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
           qobject_cast<const QComboBox*>(w);
}

bool WheelGuard::diverts(const QWidget* w) const {
    if (!scope_ || !scroller_) return false;
    // A spin box's wheel may arrive at its line edit: look up to the control itself.
    for (const QWidget* c = w; c && c != scope_; c = c->parentWidget()) {
        if (isValueControl(c)) return scope_->isAncestorOf(c) && !c->hasFocus();
        if (c->isWindow()) return false;
    }
    return false;
}

bool WheelGuard::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Polish) {
        // The wheel must not hand the focus to a control on its way down the column.
        auto* w = qobject_cast<QWidget*>(watched);
        if (w && isValueControl(w) && scope_ && scope_->isAncestorOf(w) && w->focusPolicy() == Qt::WheelFocus)
            w->setFocusPolicy(Qt::StrongFocus);
        return false;
    }
    if (event->type() != QEvent::Wheel) return false;
    auto* w = qobject_cast<QWidget*>(watched);
    if (!w || !diverts(w)) return false;
    QScrollBar* bar = scroller_->verticalScrollBar();
    if (bar && bar->isVisible()) QCoreApplication::sendEvent(bar, event);
    event->accept();
    return true;
}

}  // namespace ostrela
