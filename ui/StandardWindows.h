#pragma once
// Wires the help, lower-third design and settings windows and the onboarding sheet into the
// application object's window factories, and the extension manager's "Open Camera Extension
// Settings…" into the help window.
namespace ostrela {

class OstrelaApp;

void installStandardWindows(OstrelaApp& app);

}  // namespace ostrela
