#pragma once
// The first-run guide shown over the main window until "Got It".
#include <QDialog>
#include <QList>
#include <QString>

namespace ostrela {

struct OnboardingStep {
    QString title;
    QString text;
};

namespace onboarding {
inline constexpr const char kTitle[] = "Welcome to Ostrela";
inline constexpr const char kGotIt[] = "Got It";
inline constexpr int kWidth = 420;
inline constexpr int kPadding = 24;
inline constexpr int kSpacing = 20;
inline constexpr int kBadgeSize = 24;
// The three steps, in order.
QList<OnboardingStep> steps();
}  // namespace onboarding

// "Got It" accepts the dialog; the presenter stores "hasSeenOnboarding" when it finishes (any
// dismissal counts).
class OnboardingSheet : public QDialog {
    Q_OBJECT
public:
    explicit OnboardingSheet(QWidget* parent = nullptr);
};

}  // namespace ostrela
