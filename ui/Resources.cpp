#include "ui/Resources.h"

#include <QtGlobal>

#include <mutex>

static void registerUiResources() {
    Q_INIT_RESOURCE(symbols);
    Q_INIT_RESOURCE(assets);
}

namespace ostrela {
void initUiResources() {
    static std::once_flag once;
    std::call_once(once, registerUiResources);
}
}  // namespace ostrela
