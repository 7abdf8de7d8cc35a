// Benchmarks run without a display; painting, fonts and windows work offscreen.
#include "pipeline/engine/SimdTargets.h"

#include <benchmark/benchmark.h>

#include <QApplication>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    // A widget application: the window benchmark opens the main window.
    QApplication app(qtArgc, argv);
    benchmark::Initialize(&argc, argv);
    // OSTRELA_SIMD caps the vector target here as in the programs; the report names the one used.
    ostrela::engine::simd::init();
    benchmark::AddCustomContext("vector target", ostrela::engine::simd::targetName());
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
