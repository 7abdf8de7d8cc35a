#pragma once
// The windows' bundled files (symbols, the mock call background, the application icon) live in
// a static library, so they are registered explicitly before first use.
namespace ostrela {
void initUiResources();
}
