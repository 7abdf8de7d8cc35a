#include "ui/OnboardingSheet.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace ostrela {

QList<OnboardingStep> onboarding::steps() {
    return {
        {QStringLiteral("Approve the camera extension"),
         QString::fromUtf8(
             "Ostrela's camera needs the v4l2loopback kernel module (sudo apt install v4l2loopback-dkms). Ostrela "
             "then asks to create the camera, either now or the first time you start the camera feed: your desktop "
             "shows an authentication dialog asking for your password. Enter it and click Authenticate \u2014 "
             "Cancel leaves the camera off. If you cancel by mistake, press Activate in Settings \u2192 Advanced "
             "to be asked again.")},
        {QStringLiteral("Add an image"),
         QStringLiteral("Drag a photo into the well at the top of the sidebar, or click the well to browse. This is "
                        "the overlay that appears in the corner of your video.")},
        {QStringLiteral("Select Ostrela as your camera"),
         QString::fromUtf8("In Zoom (or any other app), open its camera/video settings and choose \u201cOstrela\u201d "
                           "from the list of cameras.")},
    };
}

OnboardingSheet::OnboardingSheet(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("onboarding"));
    setWindowTitle(QString::fromLatin1(onboarding::kTitle));
    setFixedWidth(onboarding::kWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(onboarding::kPadding, onboarding::kPadding, onboarding::kPadding, onboarding::kPadding);
    column->setSpacing(onboarding::kSpacing);

    auto* title = new QLabel(QString::fromLatin1(onboarding::kTitle));
    QFont titleFont = title->font();
    titleFont.setPointSize(20);
    titleFont.setBold(true);
    title->setFont(titleFont);
    column->addWidget(title);

    const QColor accent = palette().color(QPalette::Highlight);
    int number = 1;
    for (const OnboardingStep& step : onboarding::steps()) {
        auto* row = new QHBoxLayout;
        row->setSpacing(12);
        auto* badge = new QLabel(QString::number(number++));
        badge->setFixedSize(onboarding::kBadgeSize, onboarding::kBadgeSize);
        badge->setAlignment(Qt::AlignCenter);
        badge->setStyleSheet(QStringLiteral("QLabel { background: %1; color: white; border-radius: 12px; "
                                            "font-weight: bold; }")
                                 .arg(accent.name()));
        row->addWidget(badge, 0, Qt::AlignTop);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(4);
        auto* stepTitle = new QLabel(step.title);
        QFont f = stepTitle->font();
        f.setBold(true);
        stepTitle->setFont(f);
        auto* stepText = new QLabel(step.text);
        stepText->setWordWrap(true);
        stepText->setTextFormat(Qt::PlainText);
        stepText->setTextInteractionFlags(Qt::TextSelectableByMouse);
        texts->addWidget(stepTitle);
        texts->addWidget(stepText);
        row->addLayout(texts, 1);
        column->addLayout(row);
    }

    auto* gotIt = new QPushButton(QString::fromLatin1(onboarding::kGotIt));
    gotIt->setDefault(true);
    connect(gotIt, &QPushButton::clicked, this, &QDialog::accept);
    column->addWidget(gotIt, 0, Qt::AlignRight);
    setFixedHeight(column->totalHeightForWidth(onboarding::kWidth));
}

}  // namespace ostrela
